// What every test tree shares, native and Windows alike: the running test's name for naming
// what belongs to it, a JPEG recognised by its markers, and a payload's number or text
// (tests/payload_fields.h).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "tests/payload_fields.h"

// "Suite.Test" of the running test; a parametrised test's '/' becomes '_', so the name can
// stand in a file name.
inline std::string CurrentTestName() {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "none";
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

// A whole JPEG: its start marker, then an end marker (a live-view frame may be padded after it).
inline bool IsJpeg(const unsigned char* data, std::size_t size) {
  const unsigned char end[] = {0xFF, 0xD9};
  return data && size > 4 && data[0] == 0xFF && data[1] == 0xD8 &&
         std::search(data + 2, data + size, end, end + 2) != data + size;
}
template <class Bytes>
bool IsJpeg(const Bytes& bytes) {
  return IsJpeg(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}
