// Message values: the small, dynamically typed, Lua-like values every message to and from the
// host is made of (nil, number, string, raw data, table), and their byte encoding.
//
// Ownership: a tree has exactly one owner, and ZnLuaTEPtr is how it is held and handed on.
// Whatever makes a value (clone, read, a builder) returns a ZnLuaTEPtr; a table takes its keys
// and values as ZnLuaTEPtr and destroys them with itself. getValue, the typed lookups and
// iteration lend plain pointers that stay valid while the entry exists.
//
// Threads: values carry no locks. A tree belongs to one thread at a time: its builder, then
// the outgoing queue (which takes a clone), or the I/O thread that decoded it.
//
// Encoding: each value is its 4-byte little-endian type tag followed by its body:
//   nil     tag 1, nothing
//   number  tag 2, the IEEE 754 double, 8 bytes little-endian
//   string  tag 3, L = text length + 1, the text, one zero byte
//   data    tag 4, N, N raw bytes
//   table   tag 5, K, then K pairs of encoded key and encoded value, in ascending key order
// All counts are 32-bit little-endian, whatever the host's byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>

enum ZnLuaType : std::int32_t {
  kZnLuaNil = 1,
  kZnLuaNumber = 2,
  kZnLuaString = 3,
  kZnLuaData = 4,
  kZnLuaTable = 5,
};

// The decoder refuses tables nested deeper than this (the outermost table is level 1), so a
// hostile message cannot exhaust the I/O thread's stack.
constexpr int kMaxValueNesting = 64;

class ZnLuaTE;
using ZnLuaTEPtr = std::unique_ptr<ZnLuaTE>;

class ZnLuaTE {
 public:
  explicit ZnLuaTE(std::int32_t tag) : type(tag) {}
  ZnLuaTE(const ZnLuaTE&) = delete;
  ZnLuaTE& operator=(const ZnLuaTE&) = delete;

  // Strict key order: first by tag (nil < number < string < data < table), then within a
  // kind by value (numbers, strings as unsigned bytes) or by identity (data, tables).
  virtual bool lessThan(const ZnLuaTE& other) const;
  virtual ~ZnLuaTE() = default;
  // Appends the encoding to out with a single write; the stream's state is not looked at.
  virtual void write(std::ostream& out) const;
  // The text of a string value; empty for every other kind.
  virtual std::string getString() const;
  // The value of a number; 0.0 for every other kind.
  virtual double getNumber() const;
  // A deep copy that shares nothing with this value.
  virtual ZnLuaTEPtr clone() const = 0;

  // Appends the encoding to a byte string; write and the message framing both use it.
  virtual void appendEncoding(std::string& out) const = 0;
  // The exact number of bytes appendEncoding appends.
  virtual std::size_t encodedSize() const = 0;

  // Decodes one value. Returns the new tree, or null for an unknown tag (only the 4 tag bytes
  // are consumed then). Throws CDecodeError for short or invalid input, having released
  // whatever it had built. Reads a bytestreambuf's block in place.
  static ZnLuaTEPtr read(std::istream& in);

  const std::int32_t type;  // One of ZnLuaType, fixed by the class.
};

class ZnLuaTENil final : public ZnLuaTE {
 public:
  ZnLuaTENil() : ZnLuaTE(kZnLuaNil) {}
  bool lessThan(const ZnLuaTE& other) const override;
  ZnLuaTEPtr clone() const override { return std::make_unique<ZnLuaTENil>(); }
  void appendEncoding(std::string& out) const override;
  std::size_t encodedSize() const override { return 4; }
};

class ZnLuaTENumber final : public ZnLuaTE {
 public:
  explicit ZnLuaTENumber(double value) : ZnLuaTE(kZnLuaNumber), m_value(value) {}
  bool lessThan(const ZnLuaTE& other) const override;
  double getNumber() const override { return m_value; }
  ZnLuaTEPtr clone() const override { return std::make_unique<ZnLuaTENumber>(m_value); }
  void appendEncoding(std::string& out) const override;
  std::size_t encodedSize() const override { return 12; }

  double value() const { return m_value; }

 private:
  double m_value;
};

class ZnLuaTEString final : public ZnLuaTE {
 public:
  explicit ZnLuaTEString(const std::string& value) : ZnLuaTE(kZnLuaString), m_value(value) {}
  explicit ZnLuaTEString(std::string&& value) : ZnLuaTE(kZnLuaString), m_value(std::move(value)) {}
  // The bytes before the terminating zero; null gives the empty string.
  explicit ZnLuaTEString(const char* text) : ZnLuaTE(kZnLuaString), m_value(text ? text : "") {}
  bool lessThan(const ZnLuaTE& other) const override;
  std::string getString() const override { return m_value; }
  ZnLuaTEPtr clone() const override { return std::make_unique<ZnLuaTEString>(m_value); }
  // The text goes out only up to its first zero byte: the encoding cannot carry one.
  void appendEncoding(std::string& out) const override;
  std::size_t encodedSize() const override;

  const std::string& value() const { return m_value; }

 private:
  std::string m_value;
};

class ZnLuaTEData final : public ZnLuaTE {
 public:
  // Copies size bytes from bytes (a null bytes gives zeros; a negative size an empty block).
  // Throws the int -1 when the block cannot be allocated.
  ZnLuaTEData(const void* bytes, int size);
  ~ZnLuaTEData() override;
  bool lessThan(const ZnLuaTE& other) const override;
  ZnLuaTEPtr clone() const override { return std::make_unique<ZnLuaTEData>(m_bytes, m_size); }
  void appendEncoding(std::string& out) const override;
  std::size_t encodedSize() const override { return 8 + static_cast<std::size_t>(m_size); }

  // Takes a block allocated with malloc (at least one byte, so every block has its own
  // address) and holding size bytes. The decoder fills such a block straight from the input.
  static std::unique_ptr<ZnLuaTEData> adopt(unsigned char* mallocBlock, int size);

  const unsigned char* bytes() const { return m_bytes; }
  int size() const { return m_size; }

 private:
  ZnLuaTEData() : ZnLuaTE(kZnLuaData) {}

  unsigned char* m_bytes = nullptr;  // Owned, malloc/free; never null once constructed.
  int m_size = 0;
};

class ZnLuaTETable final : public ZnLuaTE {
  // Orders the owned keys by ZnLuaTE::lessThan, and finds them by a lent key too.
  struct KeyLess {
    using is_transparent = void;
    bool operator()(const ZnLuaTEPtr& a, const ZnLuaTEPtr& b) const { return a->lessThan(*b); }
    bool operator()(const ZnLuaTEPtr& a, const ZnLuaTE& b) const { return a->lessThan(b); }
    bool operator()(const ZnLuaTE& a, const ZnLuaTEPtr& b) const { return a.lessThan(*b); }
  };
  using Entries = std::map<ZnLuaTEPtr, ZnLuaTEPtr, KeyLess>;

 public:
  // Walks the entries in ascending key order and lends each as a pair of plain pointers, so
  // that readers never depend on how the table holds them.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::pair<const ZnLuaTE*, const ZnLuaTE*>;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    // The pair lives in the proxy, so it->first works although nothing stores such a pair.
    struct pointer {
      value_type entry;
      const value_type* operator->() const { return &entry; }
    };

    value_type operator*() const { return {m_at->first.get(), m_at->second.get()}; }
    pointer operator->() const { return {**this}; }
    const_iterator& operator++() {
      ++m_at;
      return *this;
    }
    const_iterator operator++(int) { return const_iterator(m_at++); }
    bool operator==(const const_iterator& other) const { return m_at == other.m_at; }
    bool operator!=(const const_iterator& other) const { return m_at != other.m_at; }

   private:
    friend class ZnLuaTETable;
    explicit const_iterator(Entries::const_iterator at) : m_at(at) {}
    Entries::const_iterator m_at;
  };

  ZnLuaTETable() : ZnLuaTE(kZnLuaTable) {}
  // Decodes a table whose tag has already been read; depth is the nesting level of this
  // table (1 for a top-level one). Throws CDecodeError as ZnLuaTE::read does.
  explicit ZnLuaTETable(std::istream& in, int depth = 1);

  bool lessThan(const ZnLuaTE& other) const override;
  ZnLuaTEPtr clone() const override;
  void appendEncoding(std::string& out) const override;
  std::size_t encodedSize() const override;

  // An entry with an equal key is replaced: its old key and old value are destroyed. A null
  // key is refused (the value is destroyed); a null value is stored as nil.
  void setValue(ZnLuaTEPtr key, ZnLuaTEPtr value);

  // Conveniences for builders: a string key with a value, a number or a text.
  void set(const std::string& key, ZnLuaTEPtr value) {
    setValue(std::make_unique<ZnLuaTEString>(key), std::move(value));
  }
  void setNumber(const std::string& key, double value) {
    set(key, std::make_unique<ZnLuaTENumber>(value));
  }
  void setString(const std::string& key, const std::string& value) {
    set(key, std::make_unique<ZnLuaTEString>(value));
  }

  // The value under the string key, lent; null when there is none. A number key 1 is not
  // found as "1".
  ZnLuaTE* getValue(const std::string& key) const;
  // The value under key when it is of that kind, else null (a mismatch reads like absence).
  ZnLuaTETable* getTable(const std::string& key) const;
  const ZnLuaTENumber* getNumberValue(const std::string& key) const;
  const ZnLuaTEString* getStringValue(const std::string& key) const;

  std::size_t count() const { return m_entries.size(); }
  const_iterator begin() const { return const_iterator(m_entries.begin()); }
  const_iterator end() const { return const_iterator(m_entries.end()); }

 private:
  Entries m_entries;
};
