// CBlockCoverage: which bytes of a file the camera's data blocks have filled so far.
//
// Cameras may send blocks of any size, in any order, overlapping or repeated, and the block
// that reaches the file's end need not be the last one; only the union of the ranges says
// whether every byte has arrived.
//
// Threads: none of its own; its owner's.
#pragma once

#include <cstdint>
#include <map>

class CBlockCoverage {
 public:
  // Records that bytes [start, end) arrived. An empty or reversed range adds nothing.
  void add(std::uint64_t start, std::uint64_t end);

  // True when every byte of [0, size) has arrived.
  bool covers(std::uint64_t size) const;

  // How many distinct bytes have arrived.
  std::uint64_t filledBytes() const;

  // The offset of the first byte below `size` that has not arrived; `size` when none is missing.
  std::uint64_t firstMissing(std::uint64_t size) const;

  void clear() { m_ranges.clear(); }

 private:
  // Disjoint, non-touching ranges: start -> end (exclusive).
  std::map<std::uint64_t, std::uint64_t> m_ranges;
};
