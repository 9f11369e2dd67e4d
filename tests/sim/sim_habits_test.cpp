// The habits the camera layer's suites would pass without (they run it against each habit, but
// a habit that silently stopped would leave them passing on the tidy path): each one seen from
// the caller, in the call where a real module shows it. A habit whose loss a camera-layer test
// sees (a release refused at once, busy-while-transferring, events-in-calls) is left to it
// (tests/camera/camera_habits_test.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/sim/sim_driver.h"

namespace {

using simtest::CSimDriver;

// Camera 1 on Type0001 with `keys` on its scenario line, opened and saving to the computer.
std::unique_ptr<CSimDriver> CameraWith(const std::string& keys) {
  auto driver = std::make_unique<CSimDriver>("Type0001.md3", "camera 1 " + keys + "\n");
  if (!driver->ready() || !driver->openCamera(1)) return nullptr;
  if (driver->setUnsigned(kNkMAIDCapability_SaveMedia, 1) != 0) return nullptr;
  return driver;
}

// The call each item was announced inside, in order.
std::vector<maid::ULONG> AnnouncedIn(const std::vector<simtest::SeenEvent>& events) {
  std::vector<maid::ULONG> calls;
  for (const auto& e : events)
    if (!e.fromModule && e.event == kNkMAIDEvent_AddChild) calls.push_back(e.insideCall);
  return calls;
}

// One release and nine polls: what CapStart answers, how many polls answer busy, where the
// completion comes with its result, and where the items are announced before and after it. The
// first case is the tidy module's way. (A release refused at once, with no completion, is seen
// by the camera-layer habit tests; a late refusal's completion is not.)
TEST(SimHabits, CaptureHabitsAnswerCompleteAndAnnounceInTheirOwnCalls) {
  constexpr maid::ULONG kAsync = kNkMAIDCommand_Async, kStart = kNkMAIDCommand_CapStart;
  using Calls = std::vector<maid::ULONG>;
  const struct {
    const char* keys;
    maid::NKERROR started;
    int busyPolls;
    maid::ULONG completesIn;
    maid::NKERROR result;
    Calls itemsBefore, itemsAfter;
  } cases[] = {
      {"", kNkMAIDResult_Pending, 0, kAsync, 0, {kAsync}, {}},
      {"habits=sync-complete", kNkMAIDResult_NoError, 0, kStart, 0, {kStart}, {}},
      {"habits=async-busy", kNkMAIDResult_Pending, 3, kAsync, 0, {kAsync}, {}},
      {"habits=late-items format=raw+jpeg raw-bytes=65536",
       kNkMAIDResult_Pending,
       0,
       kAsync,
       0,
       {},
       {kAsync, kAsync}},
      {"habits=refused-start-late", 131, 0, kAsync, 131, {}, {}},  // media full
      {"habits=out-of-focus", kNkMAIDResult_Pending, 0, kAsync, kNkMAIDResult_OutOfFocus, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    auto cam = CameraWith(c.keys);
    ASSERT_TRUE(cam);
    EXPECT_EQ(cam->startCapture(), c.started);
    EXPECT_EQ(cam->completions.size(), c.completesIn == kStart ? 1u : 0u) << "before a poll";
    int busy = 0;
    for (int i = 0; i < 9; ++i) busy += cam->poll() == kNkMAIDResult_Pending;
    EXPECT_EQ(busy, c.busyPolls);
    const std::size_t items = c.itemsBefore.size() + c.itemsAfter.size();
    ASSERT_TRUE(cam->pollUntil(
        [&] { return cam->completions.size() == 1 && AnnouncedIn(cam->events).size() == items; }));
    const simtest::SeenCompletion& done = cam->completions[0];
    EXPECT_EQ(done.insideCall, c.completesIn);
    EXPECT_EQ(done.result, c.result);
    const auto split = cam->events.begin() + done.eventsBefore;
    EXPECT_EQ(AnnouncedIn({cam->events.begin(), split}), c.itemsBefore);
    EXPECT_EQ(AnnouncedIn({split, cam->events.end()}), c.itemsAfter);
    for (const auto& [id, d] : cam->downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
  }
}

// A timed exposure and the camera's release latency, set by the scenario or a control line:
// nothing is announced or completed before their time, whatever the completion's habit; a
// synchronous module holds CapStart for it.
TEST(SimHabits, ReleaseLatencyAndExposureHoldTheShotBackUntilTheirTimeHasPassed) {
  using Clock = std::chrono::steady_clock;
  constexpr int kExposureMs = 150;
  const struct {
    const char* keys;
    const char* control;
    maid::NKERROR started;
  } cases[] = {
      {"exposure-ms=150", "", kNkMAIDResult_Pending},
      {"habits=late-items", "exposure-ms 150 1", kNkMAIDResult_Pending},
      {"exposure-ms=150 habits=sync-complete", "", kNkMAIDResult_NoError},
      {"release-latency-ms=100 exposure-ms=50", "", kNkMAIDResult_Pending},
      {"exposure-ms=50 habits=sync-complete", "release-latency-ms 100 1", kNkMAIDResult_NoError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    auto cam = CameraWith(c.keys);
    ASSERT_TRUE(cam);
    if (*c.control) ASSERT_EQ(cam->control(c.control), 0);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(cam->startCapture(), c.started);
    // The shot's JPEG is made on a thread of its own: on a loaded machine that takes a while.
    while (cam->completions.empty() && Clock::now() - start < std::chrono::seconds(20)) {
      EXPECT_TRUE(AnnouncedIn(cam->events).empty()) << "an item before the exposure ended";
      const maid::NKERROR polled = cam->poll();
      EXPECT_TRUE(polled == 0 || polled == kNkMAIDResult_Pending) << polled;
      if (cam->completions.empty()) platform::sleepMs(5);
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    ASSERT_EQ(cam->completions.size(), 1u);
    EXPECT_EQ(cam->completions[0].result, 0);
    // The module counts whole milliseconds from a start it truncated: up to 1 ms early.
    EXPECT_GE(elapsed.count(), kExposureMs - 1);
    EXPECT_TRUE(cam->pollUntil([&] { return cam->downloads.size() == 1; }));
  }
  // A camera unplugged, or a module closed, mid-exposure ends the release at once.
  auto cam = CameraWith("exposure-ms=60000");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->startCapture(), kNkMAIDResult_Pending);
  cam->poll();
  ASSERT_EQ(cam->control("unplug 1"), 0);
  cam->poll();
  ASSERT_EQ(cam->completions.size(), 1u);
  EXPECT_EQ(cam->completions[0].result, kNkMAIDResult_CameraNotFound);
  ASSERT_EQ(cam->control("plug 1"), 0);
  cam->poll(cam->module());
  ASSERT_EQ(cam->startCapture(), kNkMAIDResult_Pending);
  cam->closeModule();
  ASSERT_EQ(cam->completions.size(), 2u);
  EXPECT_EQ(cam->completions[1].result, kNkMAIDResult_Aborted);

  // On a clock the caller sets, the exposure lasts by that clock alone.
  auto timed = CameraWith("exposure-ms=60000");
  ASSERT_TRUE(timed);
  ASSERT_EQ(timed->control("clock 1000"), 0);
  ASSERT_EQ(timed->startCapture(), kNkMAIDResult_Pending);
  ASSERT_EQ(timed->control("clock 60999"), 0);
  for (int i = 0; i < 3; ++i) timed->poll();
  EXPECT_TRUE(timed->completions.empty());
  ASSERT_EQ(timed->control("clock 61000"), 0);
  EXPECT_TRUE(timed->pollUntilCaptureCompletes());
}

// The bytes themselves are checked where the camera layer writes them to disk.
TEST(SimHabits, RaggedBlocksComeOutOfOrderAndANestedJpegInsideTheRawTransfer) {
  auto cam = CameraWith("habits=ragged-blocks,nested-items format=raw+jpeg raw-bytes=6000017");
  ASSERT_TRUE(cam);
  cam->startCapture();
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  ASSERT_EQ(cam->downloads.size(), 2u);
  const simtest::Download& raw = cam->downloads.begin()->second;  // announced first
  ASSERT_EQ(raw.announcedDuring.size(), 1u);
  EXPECT_EQ(raw.announcedDuring[0], cam->downloads.rbegin()->first);
  ASSERT_GT(raw.blocks.size(), 1u);
  EXPECT_EQ(raw.blocks[0].total, 6000017u);
  EXPECT_NE(raw.blocks.front().offset, 0u) << "not in the file's order";
  EXPECT_NE(raw.blocks.back().offset + raw.blocks.back().length, 6000017u)
      << "the block that reaches the end is not the last one sent";
  for (const auto& [id, d] : cam->downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
}

// One live-view frame through CapGet and CapGetArray, into a buffer of element size times count.
maid::NKERROR FetchFrame(CSimDriver& cam, maid::MaidArray& array,
                         std::vector<unsigned char>& bytes) {
  array = maid::MaidArray{};
  const maid::NKERROR result =
      cam.get(kNkMAIDCapability_GetLiveViewImage, kNkMAIDDataType_ArrayPtr, &array);
  if (result != 0) return result;
  bytes.assign(std::size_t{array.ulElements} * array.wPhysicalBytes, 0);
  array.pData = bytes.data();
  return cam.call(cam.camera(), kNkMAIDCommand_CapGetArray, kNkMAIDCapability_GetLiveViewImage,
                  kNkMAIDDataType_ArrayPtr, CSimDriver::ptr(&array));
}

TEST(SimHabits, LvElementsAndLvBusyShapeTheFramesAndReads) {
  auto cam = CameraWith("habits=lv-elements");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  maid::MaidArray array;
  std::vector<unsigned char> bytes;
  for (int size : {2, 4}) {
    ASSERT_EQ(FetchFrame(*cam, array, bytes), 0);
    EXPECT_EQ(array.wPhysicalBytes, size);
    EXPECT_EQ(array.wLogicalBits, 8 * size);
  }

  cam.reset();  // one driver at a time: closing one resets the module
  cam = CameraWith("habits=lv-busy");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  maid::ULONG status = 0;
  EXPECT_EQ(cam->get(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_UnsignedPtr, &status),
            kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), 0);
  EXPECT_EQ(cam->get(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_UnsignedPtr, &status), 0);
  EXPECT_EQ(status, 1u);
}

}  // namespace
