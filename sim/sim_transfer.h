// Transfers: a data object's Acquire hands its file over in blocks, inside the caller's polls.
// Threads: the simulator's mutex is held (sim_state.h).
#pragma once

#include <cstdint>
#include <vector>

#include "sim/sim_state.h"

namespace lbsim {

struct Block {
  ULONG offset;
  ULONG length;
};

constexpr ULONG kBlockBytes = 1024 * 1024;         // a tidy camera's block
constexpr ULONG kLargestRaggedBlock = 4u << 20;    // the largest block of ragged-blocks

// The blocks of a file of `total` bytes in the order they are sent: 1 MiB each in order, or
// (ragged) of sizes from 1 byte to 4 MiB in an order drawn from `seed`, where the block that
// reaches the end of the file is not the last one sent. Either way they cover the file once.
std::vector<Block> PlanBlocks(ULONG total, bool ragged, std::uint64_t seed);

// CapStart of kNkMAIDCapability_Acquire on the data object `record`: queues the transfer.
NKERROR StartTransfer(MaidObject* record, const Node& node, sdk::CompletionProc proc, NKREF ref);

}  // namespace lbsim
