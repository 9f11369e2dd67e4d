// The in-place stream buffer over a received message.
#include "values/bytestreambuf.h"

#include <cstring>

std::streamsize bytestreambuf::copyOut(char* destination, std::streamsize capacity,
                                       std::streamsize count) {
    if (count <= 0 || capacity <= 0) return 0;
    std::size_t n = static_cast<std::size_t>(count < capacity ? count : capacity);
    if (n > remaining()) n = remaining();
    if (n) std::memcpy(destination, m_block + m_position, n);
    m_position += n;
    return static_cast<std::streamsize>(n);
}

std::streambuf* bytestreambuf::setbuf(char* block, std::streamsize size) {
    setBlock(block, size > 0 ? static_cast<std::size_t>(size) : 0);
    return this;
}

std::streamsize bytestreambuf::xsgetn(char* destination, std::streamsize n) {
    return copyOut(destination, n, n);
}

bytestreambuf::int_type bytestreambuf::underflow() {
    if (m_position >= m_size) return traits_type::eof();
    return traits_type::to_int_type(m_block[m_position]);
}

bytestreambuf::int_type bytestreambuf::uflow() {
    if (m_position >= m_size) return traits_type::eof();
    return traits_type::to_int_type(m_block[m_position++]);
}

std::streamsize bytestreambuf::showmanyc() {
    // -1 tells the stream that nothing more will come.
    return m_position < m_size ? static_cast<std::streamsize>(remaining()) : -1;
}

bytestreambuf::pos_type bytestreambuf::seekoff(off_type offset, std::ios_base::seekdir direction,
                                               std::ios_base::openmode /*which*/) {
    off_type base = 0;
    if (direction == std::ios_base::cur) base = static_cast<off_type>(m_position);
    if (direction == std::ios_base::end) base = static_cast<off_type>(m_size);
    off_type target = base + offset;
    if (target < 0) target = 0;
    if (target > static_cast<off_type>(m_size)) target = static_cast<off_type>(m_size);
    m_position = static_cast<std::size_t>(target);
    return pos_type(target);
}

bytestreambuf::pos_type bytestreambuf::seekpos(pos_type position,
                                               std::ios_base::openmode which) {
    return seekoff(off_type(position), std::ios_base::beg, which);
}
