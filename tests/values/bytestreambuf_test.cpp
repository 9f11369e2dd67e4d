// The block stream buffer read through a std::istream, as any reader of a stream may: reads
// clamped to the block, single characters, seeks clamped at both ends, and a new block.
#include <gtest/gtest.h>

#include <istream>
#include <string>

#include "values/bytestreambuf.h"

namespace {

TEST(BlockStream, ReadsAndSeeksStayInsideTheBlock) {
  bytestreambuf block("abcdef", 6);
  std::istream in(&block);
  EXPECT_EQ(in.rdbuf()->in_avail(), 6);
  EXPECT_EQ(in.peek(), 'a');
  EXPECT_EQ(in.get(), 'a');
  char out[10] = {};
  in.read(out, 2);
  EXPECT_EQ(std::string(out, in.gcount()), "bc");
  in.read(out, 10);  // only three are left
  EXPECT_EQ(std::string(out, in.gcount()), "def");
  EXPECT_TRUE(in.eof());
  in.clear();
  EXPECT_EQ(in.peek(), std::char_traits<char>::eof());
  EXPECT_EQ(in.rdbuf()->in_avail(), -1);

  in.clear();
  const struct { int offset; std::ios_base::seekdir way; int at; } seeks[] = {
      {-2, std::ios_base::end, 4}, {-1, std::ios_base::cur, 3}, {-100, std::ios_base::cur, 0},
      {100, std::ios_base::beg, 6}};
  for (const auto& seek : seeks) EXPECT_EQ(in.seekg(seek.offset, seek.way).tellg(), seek.at) << seek.offset;
  in.seekg(2);
  EXPECT_EQ(in.get(), 'c');

  // A new one-byte block starts at its first byte; a negative size or a null block is empty.
  in.rdbuf()->pubsetbuf(const_cast<char*>("xyz"), 1);
  EXPECT_EQ(in.get(), 'x');
  in.rdbuf()->pubsetbuf(const_cast<char*>("xyz"), -3);
  EXPECT_EQ(in.get(), std::char_traits<char>::eof());
  EXPECT_EQ(bytestreambuf(nullptr, 5).remaining(), 0u);
  EXPECT_EQ(bytestreambuf().remaining(), 0u);
}

}  // namespace
