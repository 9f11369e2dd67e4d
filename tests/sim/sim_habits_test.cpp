// The habits the camera layer's suites would not miss if they silently stopped: each one seen
// from the caller, in the call where a real module delivers it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_content.h"
#include "tests/sim/sim_driver.h"

namespace {

using simtest::CSimDriver;
using simtest::Download;

// Camera 1 on Type0001 with `keys` on its scenario line, opened and saving to the computer.
std::unique_ptr<CSimDriver> CameraWith(const std::string& keys) {
  auto driver = std::make_unique<CSimDriver>("Type0001.md3", "camera 1 " + keys + "\n");
  if (!driver->ready() || !driver->openCamera(1)) return nullptr;
  if (driver->setUnsigned(kNkMAIDCapability_SaveMedia, 1) != 0) return nullptr;
  return driver;
}

// The items the camera announced, each with the call it came inside.
std::vector<std::pair<maid::ULONG, maid::ULONG>> AddedItems(const CSimDriver& cam) {
  std::vector<std::pair<maid::ULONG, maid::ULONG>> items;
  for (const auto& e : cam.events)
    if (!e.fromModule && e.event == kNkMAIDEvent_AddChild)
      items.push_back({static_cast<maid::ULONG>(e.data), e.insideCall});
  return items;
}

std::vector<unsigned char> ExpectedRaw(std::uint32_t shot, std::size_t size) {
  std::vector<unsigned char> bytes(size);
  lbsim::FillRaw(lbsim::FileSeed(1, shot, true), 0, bytes.data(), size);
  return bytes;
}

void ExpectAllDownloaded(const CSimDriver& cam) {
  for (const auto& [id, d] : cam.downloads) EXPECT_TRUE(d.completed && d.result == 0) << id;
}

// Where the shot's completion comes (kNoCall: never), for each way a module may start one.
TEST(SimCaptureHabits, EachStartHabitCompletesInTheCallARealModuleWould) {
  struct Case {
    const char* keys;
    maid::ULONG completesIn;
    maid::NKERROR started;
    bool succeeds;  // a good completion and one item
  };
  const Case cases[] = {
      {"", kNkMAIDCommand_Async, kNkMAIDResult_Pending, true},
      {"habits=sync-complete", kNkMAIDCommand_CapStart, kNkMAIDResult_NoError, true},
      {"habits=refused-start-late", kNkMAIDCommand_Async, 131, false},  // media full
      {"habits=refused-start", simtest::kNoCall, kNkMAIDResult_DeviceBusy, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    auto cam = CameraWith(c.keys);
    ASSERT_TRUE(cam);
    const bool sync = c.completesIn == kNkMAIDCommand_CapStart;
    EXPECT_EQ(cam->startCapture(), c.started);
    EXPECT_EQ(cam->completions.size(), sync ? 1u : 0u) << "no completion before a poll";
    EXPECT_EQ(cam->pollUntilCaptureCompletes(10), c.completesIn != simtest::kNoCall);
    if (c.completesIn != simtest::kNoCall) {
      ASSERT_EQ(cam->completions.size(), 1u);
      EXPECT_EQ(cam->completions[0].insideCall, c.completesIn);
      EXPECT_EQ(cam->completions[0].result == 0, c.succeeds);
    }
    const auto items = AddedItems(*cam);
    ASSERT_EQ(items.size(), c.succeeds ? 1u : 0u);
    for (const auto& item : items) EXPECT_EQ(item.second, c.completesIn);
    ExpectAllDownloaded(*cam);
  }
}

TEST(SimCaptureHabits, LateItemsArriveOnPollsAfterTheCompletion) {
  auto cam = CameraWith("habits=late-items format=raw+jpeg raw-bytes=65536");
  ASSERT_TRUE(cam);
  EXPECT_EQ(cam->startCapture(), kNkMAIDResult_Pending);
  ASSERT_TRUE(cam->pollUntilCaptureCompletes());
  EXPECT_TRUE(AddedItems(*cam).empty()) << "no item inside the completing poll";
  cam->poll();
  EXPECT_EQ(AddedItems(*cam).size(), 2u);
  ExpectAllDownloaded(*cam);
}

TEST(SimCallHabits, AsyncBusyAnswersPendingEveryThirdPollYetDeliversEverything) {
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
  EXPECT_EQ(cam->downloads.size(), 1u);
  ExpectAllDownloaded(*cam);
}

TEST(SimCallHabits, EventsInCallsComeInsideTheNextReadOrWrite) {
  auto cam = CameraWith("habits=events-in-calls");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_ShutterSpeed, 3), 0);
  cam->events.clear();
  maid::ULONG focus = 0;
  ASSERT_EQ(cam->get(kNkMAIDCapability_FocusMode, kNkMAIDDataType_UnsignedPtr, &focus), 0);
  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_Aperture, 1), 0);
  ASSERT_EQ(cam->setEnumIndex(kNkMAIDCapability_WBMode, 1), 0);
  EXPECT_EQ(cam->events.size(), 2u) << "each change waits for the call after its own";
  cam->poll();
  ASSERT_EQ(cam->events.size(), 3u);
  const maid::ULONG expected[][2] = {{kNkMAIDCapability_ShutterSpeed, kNkMAIDCommand_CapGet},
                                     {kNkMAIDCapability_Aperture, kNkMAIDCommand_CapSet},
                                     {kNkMAIDCapability_WBMode, kNkMAIDCommand_Async}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(cam->events[i].event, static_cast<maid::ULONG>(kNkMAIDEvent_CapChangeValueOnly));
    EXPECT_EQ(cam->events[i].data, expected[i][0]) << i;
    EXPECT_EQ(cam->events[i].insideCall, expected[i][1]) << i;
  }
}

// Two RAW+JPEG shots with ragged blocks and nested items: every file's blocks in the order
// sent, its bytes, and the items announced while it transferred.
std::map<maid::ULONG, Download> RaggedSession() {
  auto cam = CameraWith("habits=ragged-blocks,nested-items format=raw+jpeg raw-bytes=6000017");
  if (!cam) return {};
  for (int shot = 0; shot < 2; ++shot) {
    cam->completions.clear();
    cam->startCapture();
    cam->pollUntilCaptureCompletes();
  }
  return cam->downloads;
}

TEST(SimTransferHabits, RaggedBlocksAndNestedItemsComeTheSameWayEveryRun) {
  const auto first = RaggedSession();
  ASSERT_EQ(first.size(), 4u);
  int raws = 0;
  for (const auto& [id, d] : first) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(d.completed);
    EXPECT_EQ(d.result, 0);
    ASSERT_FALSE(d.blocks.empty());
    const maid::ULONG total = d.blocks[0].total;
    EXPECT_EQ(simtest::CoverageProblem(d.blocks, total), "");
    for (const auto& b : d.blocks) {
      EXPECT_EQ(b.total, total);
      EXPECT_EQ(b.flags, static_cast<maid::ULONG>(kNkMAIDDataObjType_File));
    }
    if (total != 6000017) continue;
    // The pair's JPEG is announced while its RAW file transfers; the RAW file goes on whole.
    ASSERT_EQ(d.announcedDuring.size(), 1u);
    EXPECT_NE(first.at(d.announcedDuring[0]).blocks.at(0).total, total) << "the JPEG";
    EXPECT_TRUE(d.bytes == ExpectedRaw(++raws, total));
    EXPECT_NE(d.blocks.front().offset, 0u) << "not in the file's order";
    EXPECT_NE(d.blocks.back().offset + d.blocks.back().length, total)
        << "the block that reaches the end is not the last one sent";
  }
  EXPECT_EQ(raws, 2);

  const auto second = RaggedSession();
  ASSERT_EQ(second.size(), first.size());
  for (auto a = first.begin(), b = second.begin(); a != first.end(); ++a, ++b) {
    EXPECT_EQ(a->first, b->first);
    ASSERT_EQ(a->second.blocks.size(), b->second.blocks.size());
    for (std::size_t i = 0; i < a->second.blocks.size(); ++i)
      EXPECT_EQ(std::memcmp(&a->second.blocks[i], &b->second.blocks[i], sizeof(simtest::SeenBlock)), 0);
    EXPECT_TRUE(a->second.bytes == b->second.bytes);
  }
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
  EXPECT_EQ(simtest::CoverageProblem(d.blocks, kBytes), "");
}

// One live-view frame through CapGet and CapGetArray, into a buffer of element size times count.
maid::NKERROR FetchFrame(CSimDriver& cam, maid::MaidArray& array, std::vector<unsigned char>& bytes) {
  array = maid::MaidArray{};
  const maid::NKERROR result = cam.get(kNkMAIDCapability_GetLiveViewImage, kNkMAIDDataType_ArrayPtr, &array);
  if (result != 0) return result;
  bytes.assign(std::size_t{array.ulElements} * array.wPhysicalBytes, 0);
  array.pData = bytes.data();
  return cam.call(cam.camera(), kNkMAIDCommand_CapGetArray, kNkMAIDCapability_GetLiveViewImage,
                  kNkMAIDDataType_ArrayPtr, CSimDriver::ptr(&array));
}

TEST(SimLiveViewHabits, LvElementsAndLvBusyShapeTheFramesAndReads) {
  auto cam = CameraWith("habits=lv-elements");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  maid::MaidArray array;
  std::vector<unsigned char> bytes;
  for (int size : {2, 4}) {
    ASSERT_EQ(FetchFrame(*cam, array, bytes), 0);
    EXPECT_EQ(array.wPhysicalBytes, size);
    EXPECT_EQ(array.wLogicalBits, 8 * size);
    // Type0001's D850 puts a 128-byte header before the picture.
    ASSERT_GT(bytes.size(), 130u);
    EXPECT_EQ(bytes[128], 0xFF);
    EXPECT_EQ(bytes[129], 0xD8);
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

TEST(SimHabitControl, HabitLinesSwitchOneCameraOrAllAndBadLinesAreRefused) {
  CSimDriver cam("Type0001.md3", "camera 1\ncamera 2\n");
  ASSERT_TRUE(cam.ready());
  ASSERT_TRUE(cam.openCamera(2));
  auto alive = [&cam] {
    unsigned char value = 2;
    cam.get(kNkMAIDCapability_IsAlive, kNkMAIDDataType_BooleanPtr, &value);
    return value;
  };
  EXPECT_EQ(cam.control("habit alive-false on 1"), 0);
  EXPECT_EQ(alive(), 1) << "camera 2 keeps its own habits";
  EXPECT_EQ(cam.control("habit alive-false on"), 0);
  EXPECT_EQ(alive(), 0);
  EXPECT_EQ(cam.children(cam.module()), (std::vector<maid::ULONG>{1, 2})) << "still listed";
  EXPECT_EQ(cam.control("habit alive-false off 2"), 0);
  EXPECT_EQ(alive(), 1);
  for (const char* bad : {"habit no-such-habit on", "habit sync-complete maybe",
                          "habit sync-complete on 9", "rate 0", "shoot 9"})
    EXPECT_EQ(cam.control(bad), -1) << bad;
}

}  // namespace
