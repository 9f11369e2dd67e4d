// The module as every camera test relies on it: its declarations of the module interface agree
// with the camera layer's, it calls back only inside the caller's own calls, its scenarios put
// cameras on the right module and name a bad line, a bad control line is refused, and its
// ragged block plans keep their promises for every file size and seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_blocks.h"
#include "sim/sim_scenario.h"
#include "sim/sim_sdk.h"
#include "tests/sim/sim_driver.h"

namespace {

using simtest::CSimDriver;

// Empty when `blocks` cover [0, total) exactly once; else what is wrong.
std::string CoverageProblem(std::vector<lbsim::Block> blocks, std::uint64_t total) {
  std::sort(blocks.begin(), blocks.end(),
            [](const auto& a, const auto& b) { return a.offset < b.offset; });
  std::uint64_t next = 0;
  for (const lbsim::Block& b : blocks) {
    if (b.offset != next) return "gap or overlap at " + std::to_string(next);
    next += b.length;
  }
  return next == total ? "" : "ends at " + std::to_string(next);
}

namespace sim = lbsim::sdk;

// A name's value, or a record's size or field offset, as the caller and as the simulator see
// it: the two declarations are written apart on purpose and must agree, or one side is wrong.
struct Same {
  const char* name;
  long long ours, sims;
};
#define N(name)                                                                                    \
  Same {                                                                                           \
#name, static_cast < long long>(::kNkMAID##name), static_cast < long long>(sim::kNkMAID##name) \
  }
#define S(type) \
  Same { #type, sizeof(maid::type), sizeof(sim::type) }
#define F(record, field)                                                                         \
  Same{#record "::" #field, offsetof(maid::record, field), offsetof(sim::record, field)}, Same { \
#record "::" #field " size", sizeof(maid::record::field), sizeof(sim::record::field)         \
  }

TEST(SimInterface, NumbersAgreeWithTheCameraLayer) {
  const std::vector<Same> numbers[] = {
      {N(Command_Async), N(Command_Open), N(Command_Close), N(Command_GetCapCount),
       N(Command_GetCapInfo), N(Command_CapStart), N(Command_CapSet), N(Command_CapGet),
       N(Command_CapGetDefault), N(Command_CapGetArray)},
      {N(DataType_Null), N(DataType_Unsigned), N(DataType_BooleanPtr), N(DataType_IntegerPtr),
       N(DataType_UnsignedPtr), N(DataType_StringPtr), N(DataType_CallbackPtr),
       N(DataType_RangePtr), N(DataType_ArrayPtr), N(DataType_EnumPtr), N(DataType_ObjectPtr),
       N(DataType_CapInfoPtr)},
      {N(CapType_Process), N(CapType_Boolean), N(CapType_Integer), N(CapType_Unsigned),
       N(CapType_String), N(CapType_Enum), N(CapType_Range), N(CapType_Array)},
      {N(ArrayType_Integer), N(ArrayType_Unsigned), N(ArrayType_PackedString), N(ArrayType_String)},
      {N(CapOperation_Start), N(CapOperation_Get), N(CapOperation_Set), N(CapOperation_GetArray)},
      {N(Capability_EventProc), N(Capability_DataProc), N(Capability_IsAlive),
       N(Capability_Children), N(Capability_Name), N(Capability_DataTypes),
       N(Capability_StoredBytes), N(Capability_Capture), N(Capability_Acquire),
       N(Capability_Firmware)},
      {N(Capability_BatteryLevel), N(Capability_ExposureMode), N(Capability_ShutterSpeed),
       N(Capability_Aperture), N(Capability_Sensitivity), N(Capability_WBMode),
       N(Capability_FocusMode), N(Capability_IsoControl), N(Capability_RawJpegImageStatus),
       N(Capability_CameraType)},
      {N(Capability_LiveViewStatus), N(Capability_ContrastAF), N(Capability_GetLiveViewImage),
       N(Capability_MFDriveStep), N(Capability_MFDrive), N(Capability_SaveMedia),
       N(Capability_AutoIsoSensitivity)},
      {N(Result_NotSupported), N(Result_UnexpectedDataType), N(Result_ValueOutOfBounds),
       N(Result_BufferSize), N(Result_Aborted), N(Result_NoDataProc), N(Result_ZombieObject),
       N(Result_UnexpectedError), N(Result_HardwareError), N(Result_NoError), N(Result_Pending),
       N(Result_CameraNotFound), N(Result_OutOfFocus), N(Result_DeviceBusy), N(Result_NotLiveView)},
      {N(Event_AddChild), N(Event_RemoveChild), N(Event_CapChange), N(Event_CapChangeValueOnly)},
      {N(DataObjType_File), N(DataObjType_Image)},
      {N(FileDataType_JPEG), N(FileDataType_TIFF), N(FileDataType_NIF), N(FileDataType_NDF)},
  };
  for (const auto& group : numbers)
    for (const Same& n : group) EXPECT_EQ(n.ours, n.sims) << n.name;
  EXPECT_STREQ(maid::kEntryPointName, sim::kEntryPointName);
}

// The caller hands the module its own records to fill (a range, an enum, an array): a module
// that writes a larger one would write past the caller's.
TEST(SimInterface, RecordLayoutsAgreeWithTheCameraLayer) {
  const std::vector<Same> layouts[] = {
      {S(ULONG), S(NKERROR), S(NKPARAM), S(MaidObject), S(MaidCapInfo), S(MaidEnum), S(MaidArray),
       S(MaidRange), S(MaidDataInfo), S(MaidCallback)},
      {F(MaidObject, ulType), F(MaidObject, ulID), F(MaidObject, refClient),
       F(MaidObject, refModule)},
      {F(MaidCapInfo, ulID), F(MaidCapInfo, ulType), F(MaidCapInfo, ulVisibility),
       F(MaidCapInfo, ulOperations), F(MaidCapInfo, szDescription)},
      {F(MaidEnum, ulType), F(MaidEnum, ulElements), F(MaidEnum, ulValue), F(MaidEnum, ulDefault),
       F(MaidEnum, wPhysicalBytes), F(MaidEnum, pData)},
      {F(MaidArray, ulType), F(MaidArray, ulElements), F(MaidArray, ulDimSize1),
       F(MaidArray, ulDimSize2), F(MaidArray, ulDimSize3), F(MaidArray, wPhysicalBytes),
       F(MaidArray, wLogicalBits), F(MaidArray, pData)},
      {F(MaidRange, lfValue), F(MaidRange, lfDefault), F(MaidRange, lfLower),
       F(MaidRange, lfUpper)},
      {F(MaidDataInfo, ulType), F(MaidDataInfo, ulFileDataType), F(MaidDataInfo, ulTotalLength),
       F(MaidDataInfo, ulStart), F(MaidDataInfo, ulLength)},
      {F(MaidCallback, pProc), F(MaidCallback, refProc)},
  };
  for (const auto& group : layouts)
    for (const Same& l : group) EXPECT_EQ(l.ours, l.sims) << l.name;
}

TEST(SimContract, EventsWaitForTheCallersAsync) {
  CSimDriver driver("Type0001.md3", "camera 1\n");
  ASSERT_TRUE(driver.ready());
  driver.poll(driver.module());
  driver.events.clear();
  // Plugging a camera in from another thread queues the event; nothing is called back then.
  std::thread([&driver] { driver.control("plug 7"); }).join();
  platform::sleepMs(20);
  EXPECT_TRUE(driver.events.empty());
  ASSERT_EQ(driver.poll(driver.module()), 0);
  ASSERT_EQ(driver.events.size(), 1u);
  EXPECT_EQ(driver.events[0].event, static_cast<maid::ULONG>(kNkMAIDEvent_AddChild));
  EXPECT_EQ(driver.events[0].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_Async));
  // A closed module delivers nothing more.
  driver.control("unplug 7");
  ASSERT_EQ(driver.closeModule(), 0);
  EXPECT_EQ(driver.events.size(), 1u);
}

// A test in another process cannot ask LbSimCallsAfterClose: such a call is logged for it, as
// the chaos run reads it.
TEST(SimContract, ACallWithARecordTheCallerClosedIsLoggedWhereTheVariableSays) {
  const std::string log =
      platform::temporaryDirectory() + "lbsim-closed-calls-" + std::to_string(getpid()) + ".log";
  std::remove(log.c_str());
  setenv("LBSIM_CLOSED_CALLS_LOG", log.c_str(), 1);
  {
    CSimDriver driver("Type0001.md3", "camera 1\n");
    ASSERT_TRUE(driver.ready());
    ASSERT_EQ(driver.poll(driver.module()), 0);
    ASSERT_EQ(driver.closeModule(), 0);
    driver.poll(driver.module());
  }
  unsetenv("LBSIM_CLOSED_CALLS_LOG");
  std::string text;
  if (std::FILE* file = std::fopen(log.c_str(), "rb")) {
    char buffer[256];
    text.assign(buffer, std::fread(buffer, 1, sizeof buffer, file));
    std::fclose(file);
  }
  std::remove(log.c_str());
  EXPECT_EQ(text,
            "Type0001 " + std::to_string(static_cast<unsigned long>(kNkMAIDCommand_Async)) + "\n");
}

TEST(SimScenario, ModuleLinesPutCamerasOnOneModuleOnlyAndBadControlLinesAreRefused) {
  const std::string scenario =
      "camera 1\nmodule Type0023\ncamera 5 habits=sync-complete\nat 0 plug 6\nmodule any\ncamera "
      "2\n";
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
  // A control line the module does not understand is refused, not taken for something else.
  for (const char* bad :
       {"habit no-such-habit on", "habit sync-complete maybe", "habit sync-complete on 9", "rate 0",
        "shoot 9", "exposure-ms", "exposure-ms 14400001", "exposure-ms 1e3", "exposure-ms 10 9",
        "release-latency-ms 10001", "dial focus 1", "dial aperture 8", "dial aperture f/8",
        "dial iso 1 9"})
    EXPECT_EQ(type23.control(bad), -1) << bad;
}

TEST(SimScenario, BadStatementsNameTheirLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"camera 1\ncamera 2 habits=sync-complete,no-such\n",
       "scenario line 2: unknown habit \"no-such\""},
      {"module Type23\n", "scenario line 1: expected \"module TypeNNNN\" or \"module any\""},
      {"camera 1 rate=0\n", "scenario line 1: unknown key or value out of range: \"rate=0\""},
      {"camera 1 exposure-ms=14400001\n",
       "scenario line 1: unknown key or value out of range: \"exposure-ms=14400001\""},
  };
  for (const auto& [text, message] : cases) {
    lbsim::Scenario scenario;
    std::string error;
    EXPECT_FALSE(lbsim::ParseScenario(text, scenario, error)) << text;
    EXPECT_EQ(error, message);
  }
  lbsim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(lbsim::ParseScenario(
      "camera 3 type=44 habits=ragged-blocks,slow-link rate=12 exposure-ms=14400000 "
      "release-latency-ms=10000 photo-width=32 name=Z 9\n",
      scenario, error))
      << error;
  ASSERT_EQ(scenario.cameras.size(), 1u);
  EXPECT_TRUE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SlowLink));
  EXPECT_FALSE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SyncComplete));
  EXPECT_EQ(scenario.cameras[0].rateMBps, 12u);
  EXPECT_EQ(scenario.cameras[0].exposureMs, 14400000u);
  EXPECT_EQ(scenario.cameras[0].releaseLatencyMs, 10000u);
  EXPECT_EQ(scenario.cameras[0].type, 44u);
  EXPECT_EQ(scenario.cameras[0].photoWidth, 32u);
  EXPECT_EQ(scenario.cameras[0].name, "Z 9");
}

TEST(SimBlocks, RaggedPlansCoverTheFileOnceOutOfOrderAndTidyOnesInMegabytes) {
  for (std::uint32_t total : {1u, 2u, 3u, 17u, 4096u, (1u << 20) + 1, (5u << 20) + 3, 13u << 20}) {
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
      const auto blocks = lbsim::PlanBlocks(total, true, seed * 0x9E3779B97F4A7C15ull);
      SCOPED_TRACE("total " + std::to_string(total) + " seed " + std::to_string(seed));
      ASSERT_EQ(CoverageProblem(blocks, total), "");
      for (const lbsim::Block& b : blocks) {
        ASSERT_GE(b.length, 1u);
        ASSERT_LE(b.length, lbsim::kLargestRaggedBlock);
      }
      if (blocks.size() > 1) {
        ASSERT_NE(blocks.back().offset + blocks.back().length, total);
        ASSERT_NE(blocks.front().offset, 0u);
      }
    }
  }
  const auto tidy = lbsim::PlanBlocks((3u << 20) + 5, false, 7);
  ASSERT_EQ(tidy.size(), 4u);
  for (std::size_t i = 0; i < tidy.size(); ++i) EXPECT_EQ(tidy[i].offset, i << 20);
  EXPECT_EQ(tidy.back().length, 5u);
  EXPECT_TRUE(lbsim::PlanBlocks(0, true, 1).empty());
}

}  // namespace
