// A read-only view of a block of bytes that somebody else owns (the I/O thread's receive
// buffer), dressed as a std::streambuf so the message decoder takes it where it takes any
// std::istream; the decoder recognises it and reads the fields in place through consume(),
// without copying the message first. Read through the istream itself, it is empty.
//
// The block must outlive the buffer and must not change while it is read. One thread uses a
// buffer at a time (the I/O thread, for the decoding of one message).
#pragma once

#include <cstddef>
#include <streambuf>

class bytestreambuf : public std::streambuf {
 public:
  // block is not owned; size is the number of readable bytes at block.
  bytestreambuf(const void* block, std::size_t size)
      : m_block(static_cast<const char*>(block)), m_size(block ? size : 0) {}

  bytestreambuf(const bytestreambuf&) = delete;
  bytestreambuf& operator=(const bytestreambuf&) = delete;

  // Bytes not yet read. The decoder checks declared lengths against it before it allocates.
  std::size_t remaining() const { return m_size - m_position; }

  // Lends the next n bytes (n <= remaining()) and moves past them: the decoder's fast path
  // reads fields straight out of the block through it.
  const char* consume(std::size_t n) {
    const char* p = m_block + m_position;
    m_position += n;
    return p;
  }

 private:
  const char* m_block;  // Not owned.
  std::size_t m_size;
  std::size_t m_position = 0;  // 0 <= m_position <= m_size.
};
