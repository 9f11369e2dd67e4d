// A read-only stream buffer over a block of bytes that somebody else owns: the I/O thread's
// receive buffer, wrapped in a std::istream so the message decoder reads it in place without
// copying the message first.
//
// The block must outlive the buffer and must not change while it is read. One thread uses a
// buffer at a time (the I/O thread, for the decoding of one message).
#pragma once

#include <cstddef>
#include <streambuf>

class bytestreambuf : public std::streambuf {
public:
    bytestreambuf() = default;
    // block is not owned; size is the number of readable bytes at block.
    bytestreambuf(const void* block, std::size_t size) { setBlock(block, size); }

    bytestreambuf(const bytestreambuf&) = delete;
    bytestreambuf& operator=(const bytestreambuf&) = delete;

    // Installs a new block and rewinds to its first byte.
    void setBlock(const void* block, std::size_t size) {
        m_block = static_cast<const char*>(block);
        m_size = block ? size : 0;
        m_position = 0;
    }

    // Bytes not yet read. The decoder checks declared lengths against it before it allocates.
    std::size_t remaining() const { return m_size - m_position; }
    std::size_t position() const { return m_position; }
    const char* block() const { return m_block; }
    std::size_t size() const { return m_size; }

    // Lends the next n bytes (n <= remaining()) and moves past them: the decoder's fast path
    // reads fields straight out of the block through it.
    const char* consume(std::size_t n) {
        const char* p = m_block + m_position;
        m_position += n;
        return p;
    }

protected:
    // Copies count bytes clamped to the bytes left and to capacity; returns the number copied.
    virtual std::streamsize copyOut(char* destination, std::streamsize capacity,
                                    std::streamsize count);

    std::streambuf* setbuf(char* block, std::streamsize size) override;
    std::streamsize xsgetn(char* destination, std::streamsize n) override;
    // Single-character reads work too (a std::istream::get or peek on the block), although the
    // decoder itself only reads whole fields.
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize showmanyc() override;
    pos_type seekoff(off_type offset, std::ios_base::seekdir direction,
                     std::ios_base::openmode which) override;
    pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

private:
    const char* m_block = nullptr;  // Not owned.
    std::size_t m_size = 0;
    std::size_t m_position = 0;     // 0 <= m_position <= m_size.
};
