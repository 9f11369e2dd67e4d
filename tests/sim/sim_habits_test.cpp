// Each habit of the simulated camera does what a real module may do, seen from the caller:
// these are what the camera layer's suites rely on when they run under a habit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_content.h"
#include "tests/sim/sim_driver.h"

namespace {

using simtest::CSimDriver;
using simtest::Download;
using simtest::SeenEvent;

// Camera 1 on Type0001 with `keys` on its scenario line, opened and saving to the computer.
std::unique_ptr<CSimDriver> CameraWith(const std::string& keys) {
  auto driver = std::make_unique<CSimDriver>("Type0001.md3", "camera 1 " + keys + "\n");
  if (!driver->ready() || !driver->openCamera(1)) return nullptr;
  if (driver->setUnsigned(kNkMAIDCapability_SaveMedia, 1) != 0) return nullptr;
  return driver;
}

std::vector<maid::ULONG> AddedItems(const std::vector<SeenEvent>& events) {
  std::vector<maid::ULONG> items;
  for (const SeenEvent& e : events)
    if (!e.fromModule && e.event == kNkMAIDEvent_AddChild) items.push_back(static_cast<maid::ULONG>(e.data));
  return items;
}

// The RAW file of capture `number` of camera 1, as the simulator makes it.
std::vector<unsigned char> ExpectedRaw(std::uint32_t number, std::size_t size) {
  std::vector<unsigned char> bytes(size);
  lbsim::FillRaw(lbsim::FileSeed(1, number, true), 0, bytes.data(), size);
  return bytes;
}

// The blocks cover [0, total) once each, and every block says the same total.
void ExpectBlocksCoverFileOnce(const Download& d, maid::ULONG total) {
  EXPECT_EQ(simtest::CoverageProblem(d.blocks, total), "");
  for (const auto& b : d.blocks) {
    EXPECT_EQ(b.total, total);
    EXPECT_EQ(b.flags, static_cast<maid::ULONG>(kNkMAIDDataObjType_File));
  }
}

// Where the shot's completion comes (kNoCall: never), whether the start and the shot succeed,
// for each way a module may start a capture.
TEST(SimCaptureHabits, EachStartHabitCompletesInTheCallARealModuleWould) {
  struct Case {
    const char* keys;
    maid::ULONG completesIn;
    bool succeeds;  // a NoError or Pending start, a good completion and one item
  };
  const Case cases[] = {
      {"", kNkMAIDCommand_Async, true},
      {"habits=sync-complete", kNkMAIDCommand_CapStart, true},
      {"habits=refused-start-late", kNkMAIDCommand_Async, false},
      {"habits=refused-start", simtest::kNoCall, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    auto cam = CameraWith(c.keys);
    ASSERT_TRUE(cam);
    const bool sync = c.completesIn == kNkMAIDCommand_CapStart;
    const maid::NKERROR started = cam->startCapture();
    if (c.succeeds) {
      EXPECT_EQ(started, sync ? kNkMAIDResult_NoError : kNkMAIDResult_Pending);
    } else if (c.completesIn != simtest::kNoCall) {
      EXPECT_GT(started, kNkMAIDResult_Pending) << "a warning, then a failed completion";
    } else {
      EXPECT_NE(started, kNkMAIDResult_NoError);
      EXPECT_NE(started, kNkMAIDResult_Pending);
    }
    EXPECT_EQ(cam->completions.size(), sync ? 1u : 0u) << "no completion before a poll";
    EXPECT_EQ(cam->pollUntilCaptureCompletes(10), c.completesIn != simtest::kNoCall);
    if (c.completesIn != simtest::kNoCall) {
      ASSERT_EQ(cam->completions.size(), 1u);
      EXPECT_EQ(cam->completions[0].insideCall, c.completesIn);
      EXPECT_EQ(cam->completions[0].result == 0, c.succeeds);
    }
    ASSERT_EQ(AddedItems(cam->events).size(), c.succeeds ? 1u : 0u);
    for (const SeenEvent& e : cam->events)
      if (e.event == kNkMAIDEvent_AddChild) EXPECT_EQ(e.insideCall, c.completesIn);
    for (const auto& [id, d] : cam->downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
  }
}

TEST(SimCaptureHabits, LateItemsArriveOnPollsAfterTheCompletion) {
  auto cam = CameraWith("habits=late-items format=raw+jpeg raw-bytes=65536");
  ASSERT_TRUE(cam);
  EXPECT_EQ(cam->startCapture(), kNkMAIDResult_Pending);
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  EXPECT_TRUE(AddedItems(cam->events).empty()) << "no item inside the completing poll";
  cam->poll();
  const auto items = AddedItems(cam->events);
  ASSERT_EQ(items.size(), 2u);
  for (const auto& [id, d] : cam->downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
}

TEST(SimCaptureHabits, NestedItemsAnnounceTheJpegWhileTheRawTransfers) {
  auto cam = CameraWith("habits=nested-items format=raw+jpeg raw-bytes=3000000");
  ASSERT_TRUE(cam);
  cam->startCapture();
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  const auto items = AddedItems(cam->events);
  ASSERT_EQ(items.size(), 2u);
  const Download& raw = cam->downloads[items[0]];
  ASSERT_EQ(raw.announcedDuring, std::vector<maid::ULONG>{items[1]});
  EXPECT_TRUE(raw.completed);
  EXPECT_EQ(raw.result, 0);
  EXPECT_TRUE(raw.bytes == ExpectedRaw(1, 3000000)) << "the RAW file goes on whole after the JPEG";
  EXPECT_TRUE(cam->downloads[items[1]].completed);
  EXPECT_EQ(cam->completions[0].result, 0);
}

TEST(SimCallHabits, AsyncBusyAnswersStillWorkingNowAndThenYetDeliversEverything) {
  auto cam = CameraWith("habits=async-busy");
  ASSERT_TRUE(cam);
  cam->startCapture();
  int busy = 0;
  for (int i = 0; i < 9; ++i) {
    const maid::NKERROR result = cam->poll();
    ASSERT_TRUE(result == 0 || result == kNkMAIDResult_Pending) << result;
    busy += result == kNkMAIDResult_Pending;
  }
  EXPECT_EQ(busy, 3);
  ASSERT_EQ(cam->completions.size(), 1u);
  EXPECT_EQ(cam->completions[0].result, 0);
  ASSERT_EQ(cam->downloads.size(), 1u);
  EXPECT_TRUE(cam->downloads.begin()->second.completed);
}

TEST(SimCallHabits, EventsInCallsComeInsideTheNextReadOrWrite) {
  auto cam = CameraWith("habits=events-in-calls");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_ShutterSpeed, 3), 0);
  cam->events.clear();
  maid::ULONG focus = 0;
  ASSERT_EQ(cam->getUnsigned(kNkMAIDCapability_FocusMode, focus), 0);
  ASSERT_EQ(cam->events.size(), 1u);
  EXPECT_EQ(cam->events[0].event, static_cast<maid::ULONG>(kNkMAIDEvent_CapChangeValueOnly));
  EXPECT_EQ(cam->events[0].data, static_cast<maid::NKPARAM>(kNkMAIDCapability_ShutterSpeed));
  EXPECT_EQ(cam->events[0].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_CapGet));

  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_Aperture, 1), 0);
  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_WBMode, 1), 0);
  ASSERT_EQ(cam->events.size(), 2u);
  EXPECT_EQ(cam->events[1].data, static_cast<maid::NKPARAM>(kNkMAIDCapability_Aperture));
  EXPECT_EQ(cam->events[1].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_CapSet));
  cam->poll();
  ASSERT_EQ(cam->events.size(), 3u);
  EXPECT_EQ(cam->events[2].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_Async));
}

TEST(SimCameraHabits, AliveFalseKeepsTheCameraListedAndOpen) {
  auto cam = CameraWith("habits=alive-false");
  ASSERT_TRUE(cam);
  unsigned char alive = 1;
  EXPECT_EQ(cam->call(cam->camera(), kNkMAIDCommand_CapGet, kNkMAIDCapability_IsAlive,
                      kNkMAIDDataType_BooleanPtr, reinterpret_cast<maid::NKPARAM>(&alive)), 0);
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(cam->children(cam->module()), std::vector<maid::ULONG>{1});
}

TEST(SimCameraHabits, EnumOutOfRangeAnswersAnIndexAtTheElementCount) {
  auto cam = CameraWith("habits=enum-out-of-range");
  ASSERT_TRUE(cam);
  for (maid::ULONG cap : {kNkMAIDCapability_ExposureMode, kNkMAIDCapability_ShutterSpeed,
                          kNkMAIDCapability_Aperture, kNkMAIDCapability_Sensitivity}) {
    maid::MaidEnum e;
    ASSERT_EQ(cam->getEnum(cap, e), 0);
    EXPECT_GE(e.ulValue, e.ulElements) << std::hex << cap;
  }
  EXPECT_EQ(cam->children(cam->module()), std::vector<maid::ULONG>{1}) << "the children stay whole";
}

TEST(SimCameraHabits, CameraButtonShotsArriveWithoutACaptureFromTheCaller) {
  auto cam = CameraWith("habits=camera-button");  // switching to the computer fires the button
  ASSERT_TRUE(cam);
  EXPECT_TRUE(AddedItems(cam->events).empty()) << "nothing before the caller's poll";
  cam->poll(cam->module());
  ASSERT_EQ(AddedItems(cam->events).size(), 1u);
  EXPECT_EQ(cam->control("shoot 1"), 0);
  EXPECT_EQ(cam->control("shoot 9"), -1);
  cam->poll();
  ASSERT_EQ(AddedItems(cam->events).size(), 2u);
  EXPECT_TRUE(cam->completions.empty());
  for (const auto& [id, d] : cam->downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
}

TEST(SimTransferHabits, RaggedBlocksCoverTheFileOutOfOrderWithTheEndNotLast) {
  constexpr maid::ULONG kBytes = 13 * 1024 * 1024 + 17;
  auto cam = CameraWith("habits=ragged-blocks format=raw raw-bytes=" + std::to_string(kBytes));
  ASSERT_TRUE(cam);
  cam->startCapture();
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  ASSERT_EQ(cam->downloads.size(), 1u);
  const Download& d = cam->downloads.begin()->second;
  ASSERT_TRUE(d.completed);
  EXPECT_EQ(d.result, 0);
  ExpectBlocksCoverFileOnce(d, kBytes);
  EXPECT_TRUE(d.bytes == ExpectedRaw(1, kBytes));

  EXPECT_NE(d.blocks.front().offset, 0u) << "not in the file's order";
  EXPECT_NE(d.blocks.back().offset + d.blocks.back().length, kBytes)
      << "the block that reaches the end is not the last one sent";
}

// The blocks of every capture, in the order sent, with their bytes folded in.
std::vector<std::uint64_t> RecordRaggedSession() {
  auto cam = CameraWith("habits=ragged-blocks,nested-items format=raw+jpeg raw-bytes=6000000");
  std::vector<std::uint64_t> trace;
  if (!cam) return trace;
  for (int shot = 0; shot < 2; ++shot) {
    cam->completions.clear();
    cam->startCapture();
    cam->pollUntilCaptureCompletes();
  }
  for (const auto& [id, d] : cam->downloads) {
    trace.push_back(id);
    for (const auto& b : d.blocks) trace.push_back((std::uint64_t{b.offset} << 32) | b.length);
    std::uint64_t hash = 0;
    for (unsigned char c : d.bytes) hash = hash * 1099511628211ull + c;
    trace.push_back(hash);
  }
  return trace;
}

TEST(SimTransferHabits, TheSameScenarioGivesTheSameBlocksAndBytes) {
  const auto first = RecordRaggedSession();
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first, RecordRaggedSession());
}

TEST(SimTransferHabits, SlowLinkPacesBlocksAtTheCamerasRate) {
  constexpr maid::ULONG kBytes = 20 * 1000 * 1000;
  auto cam = CameraWith("habits=slow-link rate=100 format=raw raw-bytes=" + std::to_string(kBytes));
  ASSERT_TRUE(cam);
  const auto start = std::chrono::steady_clock::now();
  cam->startCapture();
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 190) << "20 MB at 100 MB/s";
  EXPECT_LT(ms, 5000);
  const Download& d = cam->downloads.begin()->second;
  EXPECT_TRUE(d.completed);
  ExpectBlocksCoverFileOnce(d, kBytes);
}

// One live-view frame through CapGet and CapGetArray, into a buffer of element size times
// count; the descriptor is returned in `array`.
maid::NKERROR FetchFrame(CSimDriver& cam, maid::MaidArray& array, std::vector<unsigned char>& bytes) {
  array = maid::MaidArray{};
  maid::NKERROR result = cam.call(cam.camera(), kNkMAIDCommand_CapGet, kNkMAIDCapability_GetLiveViewImage,
                                  kNkMAIDDataType_ArrayPtr, reinterpret_cast<maid::NKPARAM>(&array));
  if (result != 0) return result;
  bytes.assign(std::size_t{array.ulElements} * array.wPhysicalBytes, 0);
  array.pData = bytes.data();
  return cam.call(cam.camera(), kNkMAIDCommand_CapGetArray, kNkMAIDCapability_GetLiveViewImage,
                  kNkMAIDDataType_ArrayPtr, reinterpret_cast<maid::NKPARAM>(&array));
}

TEST(SimLiveViewHabits, LvElementsScaleTheCountToTwoAndFourByteElements) {
  auto cam = CameraWith("habits=lv-elements");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  std::vector<int> sizes;
  for (int i = 0; i < 2; ++i) {
    maid::MaidArray array;
    std::vector<unsigned char> bytes;
    ASSERT_EQ(FetchFrame(*cam, array, bytes), 0);
    sizes.push_back(array.wPhysicalBytes);
    EXPECT_EQ(array.wLogicalBits, 8 * array.wPhysicalBytes);
    // Type0001's D850 puts a 128-byte header before the picture.
    ASSERT_GT(bytes.size(), 130u);
    EXPECT_EQ(bytes[128], 0xFF);
    EXPECT_EQ(bytes[129], 0xD8);
  }
  EXPECT_EQ(sizes, (std::vector<int>{2, 4}));
}

TEST(SimLiveViewHabits, LvBusyAnswersBusyForAFewReadsAfterSwitchingOn) {
  auto cam = CameraWith("habits=lv-busy");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  maid::ULONG status = 0;
  EXPECT_EQ(cam->getUnsigned(kNkMAIDCapability_LiveViewStatus, status), kNkMAIDResult_DeviceBusy);
  maid::MaidArray array;
  std::vector<unsigned char> bytes;
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), 0);
  EXPECT_EQ(cam->getUnsigned(kNkMAIDCapability_LiveViewStatus, status), 0);
  EXPECT_EQ(status, 1u);
}

TEST(SimHabitControl, HabitLinesSwitchOneCameraOrAll) {
  CSimDriver cam("Type0001.md3", "camera 1\ncamera 2\n");
  ASSERT_TRUE(cam.ready());
  ASSERT_TRUE(cam.openCamera(2));
  auto alive = [&cam] {
    unsigned char value = 2;
    cam.call(cam.camera(), kNkMAIDCommand_CapGet, kNkMAIDCapability_IsAlive, kNkMAIDDataType_BooleanPtr,
             reinterpret_cast<maid::NKPARAM>(&value));
    return value;
  };
  EXPECT_EQ(cam.control("habit alive-false on 1"), 0);
  EXPECT_EQ(alive(), 1) << "camera 2 keeps its own habits";
  EXPECT_EQ(cam.control("habit alive-false on"), 0);
  EXPECT_EQ(alive(), 0);
  EXPECT_EQ(cam.control("habit alive-false off 2"), 0);
  EXPECT_EQ(alive(), 1);
  for (const char* bad : {"habit no-such-habit on", "habit sync-complete maybe",
                          "habit sync-complete on 9", "rate 0"})
    EXPECT_EQ(cam.control(bad), -1) << bad;
}

}  // namespace
