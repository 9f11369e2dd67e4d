// The ragged block plans keep their promises for every file size and seed, not only for the
// few captures the habit tests take.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/sim_blocks.h"
#include "tests/sim/sim_driver.h"

namespace {

using lbsim::Block;
using simtest::CoverageProblem;

TEST(SimBlocks, RaggedPlansCoverTheFileOnceOutOfOrderWithTheEndNeverLast) {
  const std::uint32_t totals[] = {1, 2, 3, 17, 4096, (1u << 20) + 1, (5u << 20) + 3, 13u << 20};
  for (std::uint32_t total : totals) {
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
      const auto blocks = lbsim::PlanBlocks(total, true, seed * 0x9E3779B97F4A7C15ull);
      SCOPED_TRACE("total " + std::to_string(total) + " seed " + std::to_string(seed));
      ASSERT_EQ(CoverageProblem(blocks, total), "");
      for (const Block& b : blocks) {
        ASSERT_GE(b.length, 1u);
        ASSERT_LE(b.length, lbsim::kLargestRaggedBlock);
      }
      if (blocks.size() > 1) {
        ASSERT_NE(blocks.back().offset + blocks.back().length, total);
        ASSERT_NE(blocks.front().offset, 0u);
      }
    }
  }
}

TEST(SimBlocks, TidyPlansSendMegabyteBlocksInOrder) {
  const auto blocks = lbsim::PlanBlocks((3u << 20) + 5, false, 7);
  ASSERT_EQ(blocks.size(), 4u);
  for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i].offset, i << 20);
  EXPECT_EQ(blocks.back().length, 5u);
  EXPECT_TRUE(lbsim::PlanBlocks(0, true, 1).empty());
}

}  // namespace
