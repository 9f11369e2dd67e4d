// The message decoder: bytes back into a value tree.
//
// Over a bytestreambuf (the I/O thread's receive buffer) every field is read in place and
// every declared length is checked against the bytes left before anything is allocated, so a
// short hostile message cannot make the process allocate more than the message itself holds.
// Over any other stream the fields are read with std::istream::read, and a declared length is
// refused when it exceeds the largest message either side may send.
#include <cstdlib>
#include <cstring>
#include <istream>

#include "values/bytestreambuf.h"
#include "values/decode_error.h"
#include "values/lua_value.h"
#include "values/wire_format.h"

namespace {

// No message is larger (the pipe transport refuses longer ones), so no length inside one is.
constexpr std::size_t kLargestDeclaredLength = 0x200000;

}  // namespace

class CValueReader {
 public:
  explicit CValueReader(std::istream& in)
      : m_in(in), m_block(dynamic_cast<bytestreambuf*>(in.rdbuf())) {}

  // Returns the new tree, or null for an unknown tag. tableDepth is the nesting level a table
  // read here would have.
  ZnLuaTEPtr readValue(int tableDepth) {
    const std::int32_t tag = readInt32("value tag");
    switch (tag) {
      case kZnLuaNil:
        return std::make_unique<ZnLuaTENil>();
      case kZnLuaNumber:
        return std::make_unique<ZnLuaTENumber>(readDouble());
      case kZnLuaString:
        return readString();
      case kZnLuaData:
        return readData();
      case kZnLuaTable: {
        auto table = std::make_unique<ZnLuaTETable>();
        readTableBody(*table, tableDepth);
        return table;
      }
      default:
        return nullptr;
    }
  }

  // Fills table (empty, owned by the caller) with the entries that follow its tag.
  void readTableBody(ZnLuaTETable& table, int depth) {
    if (depth > kMaxValueNesting) ThrowDecodeError("tables nested too deeply");
    const std::int32_t count = readInt32("table count");
    for (std::int32_t i = 0; i < count; ++i) {
      ZnLuaTEPtr key = readValue(depth + 1);
      if (!key) ThrowDecodeError("unknown tag in a table key");
      ZnLuaTEPtr value = readValue(depth + 1);
      if (!value) ThrowDecodeError("unknown tag in a table value");
      // A repeated key: the later pair wins, as setValue replaces an equal key.
      table.setValue(std::move(key), std::move(value));
    }
  }

 private:
  std::int32_t readInt32(const char* what) {
    char bytes[4];
    readInto(bytes, 4, what);
    return ReadWireInt32(bytes);
  }

  double readDouble() {
    char bytes[8];
    readInto(bytes, 8, "number");
    return ReadWireDouble(bytes);
  }

  ZnLuaTEPtr readString() {
    const std::int32_t length = readInt32("string length");
    if (length <= 0) return std::make_unique<ZnLuaTEString>(std::string());
    requireAvailable(static_cast<std::size_t>(length), "string longer than the message");
    if (m_block) {
      const char* text = m_block->consume(static_cast<std::size_t>(length));
      return std::make_unique<ZnLuaTEString>(std::string(text, TextLength(text, length)));
    }
    std::string bytes(static_cast<std::size_t>(length), '\0');
    readInto(&bytes[0], static_cast<std::size_t>(length), "string text");
    bytes.resize(TextLength(bytes.data(), length));
    return std::make_unique<ZnLuaTEString>(std::move(bytes));
  }

  ZnLuaTEPtr readData() {
    const std::int32_t size = readInt32("data size");
    if (size < 0) ThrowDecodeError("negative data size");
    requireAvailable(static_cast<std::size_t>(size), "data longer than the message");
    auto* block = static_cast<unsigned char*>(std::malloc(size > 0 ? size : 1));
    if (!block) ThrowDecodeError("no memory for a data block");
    try {
      readInto(reinterpret_cast<char*>(block), static_cast<std::size_t>(size), "data");
    } catch (...) {
      std::free(block);
      throw;
    }
    return ZnLuaTEData::adopt(block, size);
  }

  // The text of a string field: the bytes before the first zero among its L bytes.
  static std::size_t TextLength(const char* bytes, std::int32_t length) {
    const void* zero = std::memchr(bytes, 0, static_cast<std::size_t>(length));
    return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes)
                : static_cast<std::size_t>(length);
  }

  void requireAvailable(std::size_t count, const char* what) {
    const std::size_t limit = m_block ? m_block->remaining() : kLargestDeclaredLength;
    if (count > limit) ThrowDecodeError(what);
  }

  void readInto(char* destination, std::size_t count, const char* what) {
    if (m_block) {
      if (m_block->remaining() < count) ThrowDecodeError(what);
      if (count) std::memcpy(destination, m_block->consume(count), count);
      return;
    }
    m_in.read(destination, static_cast<std::streamsize>(count));
    if (!m_in || static_cast<std::size_t>(m_in.gcount()) != count) ThrowDecodeError(what);
  }

  std::istream& m_in;
  bytestreambuf* m_block;  // The stream's buffer when it is a block, else null.
};

ZnLuaTEPtr ZnLuaTE::read(std::istream& in) { return CValueReader(in).readValue(1); }

ZnLuaTETable::ZnLuaTETable(std::istream& in, int depth) : ZnLuaTE(kZnLuaTable) {
  // When this throws, the entries read so far go with m_entries, which was fully built.
  CValueReader(in).readTableBody(*this, depth);
}
