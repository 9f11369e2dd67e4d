#include "camera/download/block_coverage.h"

#include <algorithm>
#include <iterator>

void CBlockCoverage::add(std::uint64_t start, std::uint64_t end) {
  if (start >= end) return;
  auto next = m_ranges.upper_bound(start);
  // A range that starts at or before `start` and reaches it joins the new one.
  if (next != m_ranges.begin()) {
    auto previous = std::prev(next);
    if (previous->second >= start) {
      start = previous->first;
      end = std::max(end, previous->second);
      next = m_ranges.erase(previous);
    }
  }
  // So does every range that starts inside the new one or right at its end.
  while (next != m_ranges.end() && next->first <= end) {
    end = std::max(end, next->second);
    next = m_ranges.erase(next);
  }
  m_ranges.emplace(start, end);
}

bool CBlockCoverage::covers(std::uint64_t size) const { return firstMissing(size) == size; }

std::uint64_t CBlockCoverage::filledBytes() const {
  std::uint64_t total = 0;
  for (const auto& range : m_ranges) total += range.second - range.first;
  return total;
}

std::uint64_t CBlockCoverage::firstMissing(std::uint64_t size) const {
  if (m_ranges.empty() || m_ranges.begin()->first > 0) return 0;
  return std::min(size, m_ranges.begin()->second);
}
