// Message values: ordering, copying, the table container and the writer. The reader lives in
// value_reader.cpp.
#include "values/lua_value.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <ostream>

#include "values/wire_format.h"

// --- Base behaviour -----------------------------------------------------------------------

bool ZnLuaTE::lessThan(const ZnLuaTE& /*other*/) const { return false; }

void ZnLuaTE::write(std::ostream& out) const {
  // One contiguous block and one write: the stream's per-call cost is paid once per value
  // tree, not once per field.
  std::string bytes;
  bytes.reserve(encodedSize());
  appendEncoding(bytes);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ZnLuaTE::getString() const { return std::string(); }

double ZnLuaTE::getNumber() const { return 0.0; }

// Across kinds the tag decides; each class decides within its own kind.
static bool TagLess(const ZnLuaTE& a, const ZnLuaTE& b, bool* decided) {
  *decided = a.type != b.type;
  return a.type < b.type;
}

// --- Nil ------------------------------------------------------------------------------------

bool ZnLuaTENil::lessThan(const ZnLuaTE& other) const {
  bool decided;
  const bool less = TagLess(*this, other, &decided);
  return decided && less;
}

void ZnLuaTENil::appendEncoding(std::string& out) const { AppendWireInt32(out, kZnLuaNil); }

// --- Number ---------------------------------------------------------------------------------

bool ZnLuaTENumber::lessThan(const ZnLuaTE& other) const {
  bool decided;
  const bool less = TagLess(*this, other, &decided);
  if (decided) return less;
  // A total order, which the table's map needs: a NaN (possible on the wire) sorts after
  // every other number and is equal to any other NaN, so two NaN keys are one key.
  const double mine = m_value;
  const double theirs = static_cast<const ZnLuaTENumber&>(other).m_value;
  if (std::isnan(mine) || std::isnan(theirs)) return !std::isnan(mine);
  return mine < theirs;
}

void ZnLuaTENumber::appendEncoding(std::string& out) const {
  AppendWireInt32(out, kZnLuaNumber);
  AppendWireDouble(out, m_value);
}

// --- String ---------------------------------------------------------------------------------

// The text as it goes on the wire: up to the first zero byte.
static std::size_t WireTextLength(const std::string& text) {
  const void* zero = std::memchr(text.data(), 0, text.size());
  return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text.data())
              : text.size();
}

bool ZnLuaTEString::lessThan(const ZnLuaTE& other) const {
  bool decided;
  const bool less = TagLess(*this, other, &decided);
  if (decided) return less;
  const std::string& theirs = static_cast<const ZnLuaTEString&>(other).m_value;
  const std::size_t common = m_value.size() < theirs.size() ? m_value.size() : theirs.size();
  // memcmp compares as unsigned bytes, so "\xC3..." sorts after "z".
  const int order = common ? std::memcmp(m_value.data(), theirs.data(), common) : 0;
  if (order != 0) return order < 0;
  return m_value.size() < theirs.size();
}

void ZnLuaTEString::appendEncoding(std::string& out) const {
  const std::size_t n = WireTextLength(m_value);
  AppendWireInt32(out, kZnLuaString);
  AppendWireInt32(out, static_cast<std::int32_t>(n + 1));
  out.append(m_value.data(), n);
  out.push_back('\0');
}

std::size_t ZnLuaTEString::encodedSize() const { return 9 + WireTextLength(m_value); }

// --- Data -----------------------------------------------------------------------------------

ZnLuaTEData::ZnLuaTEData(const void* bytes, int size) : ZnLuaTE(kZnLuaData) {
  const int count = size > 0 ? size : 0;
  // At least one byte, so every block has an address of its own (data keys order by it).
  m_bytes = static_cast<unsigned char*>(std::malloc(count > 0 ? count : 1));
  if (!m_bytes) throw -1;
  if (count > 0) {
    if (bytes) {
      std::memcpy(m_bytes, bytes, static_cast<std::size_t>(count));
    } else {
      std::memset(m_bytes, 0, static_cast<std::size_t>(count));
    }
  }
  m_size = count;
}

ZnLuaTEData::~ZnLuaTEData() {
  std::free(m_bytes);
  m_bytes = nullptr;
  m_size = 0;
}

std::unique_ptr<ZnLuaTEData> ZnLuaTEData::adopt(unsigned char* mallocBlock, int size) {
  // make_unique cannot reach the private constructor.
  std::unique_ptr<ZnLuaTEData> data(new ZnLuaTEData());
  data->m_bytes = mallocBlock;
  data->m_size = size;
  return data;
}

bool ZnLuaTEData::lessThan(const ZnLuaTE& other) const {
  bool decided;
  const bool less = TagLess(*this, other, &decided);
  if (decided) return less;
  return std::less<const unsigned char*>()(m_bytes, static_cast<const ZnLuaTEData&>(other).m_bytes);
}

void ZnLuaTEData::appendEncoding(std::string& out) const {
  AppendWireInt32(out, kZnLuaData);
  AppendWireInt32(out, m_size);
  out.append(reinterpret_cast<const char*>(m_bytes), static_cast<std::size_t>(m_size));
}

// --- Table ----------------------------------------------------------------------------------

bool ZnLuaTETable::lessThan(const ZnLuaTE& other) const {
  bool decided;
  const bool less = TagLess(*this, other, &decided);
  if (decided) return less;
  return std::less<const ZnLuaTE*>()(this, &other);
}

ZnLuaTEPtr ZnLuaTETable::clone() const {
  auto copy = std::make_unique<ZnLuaTETable>();
  for (const auto& entry : m_entries) copy->setValue(entry.first->clone(), entry.second->clone());
  return copy;
}

void ZnLuaTETable::appendEncoding(std::string& out) const {
  AppendWireInt32(out, kZnLuaTable);
  AppendWireInt32(out, static_cast<std::int32_t>(m_entries.size()));
  for (const auto& entry : m_entries) {
    entry.first->appendEncoding(out);
    entry.second->appendEncoding(out);
  }
}

std::size_t ZnLuaTETable::encodedSize() const {
  std::size_t size = 8;
  for (const auto& entry : m_entries) {
    size += entry.first->encodedSize() + entry.second->encodedSize();
  }
  return size;
}

void ZnLuaTETable::setValue(ZnLuaTEPtr key, ZnLuaTEPtr value) {
  if (!key) return;
  if (!value) value = std::make_unique<ZnLuaTENil>();
  // A decoded table arrives in key order, so a key past the last one is the common case and
  // costs one comparison; anything else is one search, which also finds a key to replace.
  Entries::iterator position = m_entries.end();
  if (!m_entries.empty() && !KeyLess()(std::prev(m_entries.end())->first, key))
    position = m_entries.lower_bound(key);
  if (position == m_entries.end() || KeyLess()(key, position->first)) {
    const ZnLuaTE* added = value.get();
    position = m_entries.try_emplace(position, std::move(key), std::move(value));
    if (position->second.get() == added) return;
    // The hint missed an equal key elsewhere. try_emplace has then taken neither argument,
    // and the later pair still wins below.
  }
  // The entry takes the new key as well as the new value (a NaN key may change its bits),
  // and the old ones are destroyed with their pointers.
  const Entries::iterator next = std::next(position);
  Entries::node_type entry = m_entries.extract(position);
  entry.key() = std::move(key);
  entry.mapped() = std::move(value);
  m_entries.insert(next, std::move(entry));
}

ZnLuaTE* ZnLuaTETable::getValue(const std::string& key) const {
  const ZnLuaTEString probe(key);
  auto found = m_entries.find(probe);
  return found == m_entries.end() ? nullptr : found->second.get();
}

ZnLuaTETable* ZnLuaTETable::getTable(const std::string& key) const {
  ZnLuaTE* value = getValue(key);
  return value && value->type == kZnLuaTable ? static_cast<ZnLuaTETable*>(value) : nullptr;
}

const ZnLuaTENumber* ZnLuaTETable::getNumberValue(const std::string& key) const {
  ZnLuaTE* value = getValue(key);
  return value && value->type == kZnLuaNumber ? static_cast<const ZnLuaTENumber*>(value) : nullptr;
}

const ZnLuaTEString* ZnLuaTETable::getStringValue(const std::string& key) const {
  ZnLuaTE* value = getValue(key);
  return value && value->type == kZnLuaString ? static_cast<const ZnLuaTEString*>(value) : nullptr;
}
