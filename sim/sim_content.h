// The simulated camera's file content: deterministic, so a test can check every downloaded
// byte without the simulator keeping a copy.
//
// A RAW file's byte at offset i depends only on (seed, i): the bytes of any block can be made
// on their own, and a 50 MB file never has to sit in memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lbsim {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "FillRaw stores words little-endian");

// The seed of one capture file: camera id, capture number and whether it is the RAW file.
inline std::uint64_t FileSeed(std::uint32_t cameraId, std::uint32_t captureNumber, bool raw) {
  return (std::uint64_t{cameraId} << 40) ^ (std::uint64_t{captureNumber} << 8) ^
         (raw ? 0x5A : 0xA5);
}

inline std::uint64_t SplitMix64(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// The RAW file's first bytes look like the TIFF container a NEF is ("MM\0*").
constexpr unsigned char kRawMagic[4] = {'M', 'M', 0x00, 0x2A};

inline unsigned char RawByte(std::uint64_t seed, std::uint64_t offset) {
  if (offset < sizeof kRawMagic) return kRawMagic[offset];
  const std::uint64_t word = SplitMix64(seed ^ (offset / 8));
  return static_cast<unsigned char>(word >> (8 * (offset % 8)));
}

// The same bytes as RawByte, a word at a time: the simulated camera must not be the slow part
// of a download that is being measured.
inline void FillRaw(std::uint64_t seed, std::uint64_t offset, unsigned char* out, std::size_t n) {
  std::size_t i = 0;
  for (; i < n && ((offset + i) % 8 != 0 || offset + i < sizeof kRawMagic); ++i)
    out[i] = RawByte(seed, offset + i);
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t word = SplitMix64(seed ^ ((offset + i) / 8));
    // Little-endian byte order, as RawByte has it; every platform the simulator is built for
    // stores words that way, so one store does.
    std::memcpy(out + i, &word, 8);
  }
  for (; i < n; ++i) out[i] = RawByte(seed, offset + i);
}

// Live-view frames carry the moment the camera made them in a JPEG comment segment right
// after the start marker (decoders skip comments), so a host can measure a frame's latency:
// FF FE, length 14, "LBTS", then the steady clock in nanoseconds, little-endian. The steady
// clock is the system's monotonic one, shared by every process of the machine.
constexpr unsigned char kFrameStampTag[4] = {'L', 'B', 'T', 'S'};

// The clock of the stamps.
inline std::int64_t SteadyClockNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

inline void StampFrame(std::vector<unsigned char>& jpeg, std::int64_t nanoseconds) {
  if (jpeg.size() < 2) return;
  unsigned char segment[16] = {0xFF, 0xFE, 0x00, 0x0E};
  std::memcpy(segment + 4, kFrameStampTag, 4);
  for (int i = 0; i < 8; ++i) segment[8 + i] = static_cast<unsigned char>(nanoseconds >> (8 * i));
  jpeg.insert(jpeg.begin() + 2, segment, segment + sizeof segment);
}

// The stamp of a frame as the host receives it (the JPEG alone); false when it has none.
inline bool ReadFrameStamp(const unsigned char* jpeg, std::size_t size, std::int64_t& nanoseconds) {
  if (size < 18 || jpeg[2] != 0xFF || jpeg[3] != 0xFE ||
      std::memcmp(jpeg + 6, kFrameStampTag, 4) != 0)
    return false;
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | jpeg[10 + i];
  nanoseconds = static_cast<std::int64_t>(value);
  return true;
}

}  // namespace lbsim
