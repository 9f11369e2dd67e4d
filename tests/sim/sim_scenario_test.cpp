// Scenarios: which module a camera is on, and the statements a scenario may hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_scenario.h"
#include "tests/sim/sim_driver.h"

namespace {

using simtest::CSimDriver;

TEST(SimScenario, ModuleLinesPutCamerasOnOneModuleOnly) {
  const std::string scenario =
      "camera 1\n"
      "module Type0023\n"
      "camera 5 habits=sync-complete\n"
      "at 0 plug 6\n"
      "module any\n"
      "camera 2\n";
  {
    CSimDriver type1("Type0001.md3", scenario);
    ASSERT_TRUE(type1.ready());
    type1.control("plug 5");  // placed on the other module: never made here
    type1.poll(type1.module());
    EXPECT_EQ(type1.children(type1.module()), (std::vector<maid::ULONG>{1, 2}));
  }
  CSimDriver type23("Type0023.md3", scenario);
  ASSERT_TRUE(type23.ready());
  type23.poll(type23.module());
  EXPECT_EQ(type23.children(type23.module()), (std::vector<maid::ULONG>{1, 2, 5, 6}));
  ASSERT_TRUE(type23.openCamera(5));
  type23.setUnsigned(kNkMAIDCapability_SaveMedia, 1);
  EXPECT_EQ(type23.startCapture(), 0) << "camera 5 keeps its habits on its module";
}

TEST(SimScenario, BadStatementsNameTheirLine) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"camera 1\ncamera 2 habits=sync-complete,no-such\n", "scenario line 2: unknown habit \"no-such\""},
      {"module Type23\n", "scenario line 1: expected \"module TypeNNNN\" or \"module any\""},
      {"camera 1 rate=0\n", "scenario line 1: unknown key or value out of range: \"rate=0\""},
  };
  for (const Case& c : cases) {
    lbsim::Scenario scenario;
    std::string error;
    EXPECT_FALSE(lbsim::ParseScenario(c.text, scenario, error)) << c.text;
    EXPECT_EQ(error, c.error);
  }
  lbsim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(lbsim::ParseScenario("camera 3 habits=ragged-blocks,slow-link rate=12 name=Z 9\n",
                                   scenario, error)) << error;
  ASSERT_EQ(scenario.cameras.size(), 1u);
  EXPECT_TRUE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SlowLink));
  EXPECT_FALSE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SyncComplete));
  EXPECT_EQ(scenario.cameras[0].rateMBps, 12u);
  EXPECT_EQ(scenario.cameras[0].name, "Z 9");
}

}  // namespace
