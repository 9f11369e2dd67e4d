// How a simulated camera cuts a file into data blocks, and in which order it sends them.
#pragma once

#include <cstdint>
#include <vector>

namespace lbsim {

struct Block {
  std::uint32_t offset;
  std::uint32_t length;
};

constexpr std::uint32_t kBlockBytes = 1024 * 1024;       // a tidy camera's block
constexpr std::uint32_t kLargestRaggedBlock = 4u << 20;  // the largest block of ragged-blocks

// The blocks of a file of `total` bytes in the order they are sent: 1 MiB each in order, or
// (ragged) of sizes from 1 byte to 4 MiB in an order drawn from `seed`, where the block that
// reaches the end of the file is not the last one sent. Either way they cover the file once.
std::vector<Block> PlanBlocks(std::uint32_t total, bool ragged, std::uint64_t seed);

}  // namespace lbsim
