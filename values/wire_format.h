// The two field kinds of the message encoding, 32-bit integers and doubles, both little-endian
// on the wire whatever the host's byte order. Written with explicit shifts so a big-endian
// build encodes the same bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

inline void AppendWireInt32(std::string& out, std::int32_t value) {
  const std::uint32_t bits = static_cast<std::uint32_t>(value);
  const char bytes[4] = {static_cast<char>(bits & 0xFF), static_cast<char>((bits >> 8) & 0xFF),
                         static_cast<char>((bits >> 16) & 0xFF),
                         static_cast<char>((bits >> 24) & 0xFF)};
  out.append(bytes, 4);
}

inline void AppendWireDouble(std::string& out, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  out.append(bytes, 8);
}

inline std::int32_t ReadWireInt32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
      (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24));
}

inline double ReadWireDouble(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | u[i];
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}
