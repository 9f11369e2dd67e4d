#include "sim/sim_blocks.h"

#include <algorithm>

#include "sim/sim_content.h"

namespace lbsim {

namespace {

// A generator of the ragged sizes and order, from the file's seed.
struct Draw {
  std::uint64_t state;
  std::uint64_t next() { return state = SplitMix64(state); }
  std::uint32_t below(std::uint32_t bound) { return static_cast<std::uint32_t>(next() % bound); }
};

}  // namespace

std::vector<Block> PlanBlocks(std::uint32_t total, bool ragged, std::uint64_t seed) {
  std::vector<Block> blocks;
  if (!ragged) {
    for (std::uint32_t offset = 0; offset < total; offset += std::min(kBlockBytes, total - offset))
      blocks.push_back({offset, std::min(kBlockBytes, total - offset)});
    return blocks;
  }
  Draw draw{seed ^ 0x5EEDB10Cull};
  for (std::uint32_t offset = 0; offset < total;) {
    std::uint32_t length = 1;  // the first block is a single byte
    if (!blocks.empty()) {
      switch (draw.below(4)) {
        case 0:
          length = 1 + draw.below(16);
          break;
        case 1:
          length = 1 + draw.below(64 * 1024);
          break;
        case 2:
          length = 1 + draw.below(kBlockBytes);
          break;
        default:
          length = kLargestRaggedBlock;
          break;
      }
    }
    length = std::min(length, total - offset);
    blocks.push_back({offset, length});
    offset += length;
  }
  for (std::size_t i = blocks.size(); i > 1; --i)
    std::swap(blocks[i - 1], blocks[draw.below(static_cast<std::uint32_t>(i))]);
  if (blocks.size() > 1) {
    // The block that reaches the end of the file goes out before at least one other.
    auto end = std::find_if(blocks.begin(), blocks.end(),
                            [total](const Block& b) { return b.offset + b.length == total; });
    if (end == blocks.end() - 1) std::swap(*end, blocks.front());
    // And the first block sent is not the file's start, so the order is never the file's.
    if (blocks.front().offset == 0) std::swap(blocks.front(), blocks[1]);
  }
  return blocks;
}

}  // namespace lbsim
