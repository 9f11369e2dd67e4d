// Capture, live view and focus on the simulated cameras: the files shots leave and what the host
// hears of them, failing shots, live-view frames, focus steps.

#include "camera/sdkobject/nikon_object.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

using CaptureTest = ConnectedCameraTest;

// A shot that goes wrong: what the host hears, that nothing of it stays on disk, and that the
// next shot (when the camera is still there) works under the next number.
struct FailedShot {
  const char* name;
  const char* format;  // the camera's image format
  const char* fault;   // a simulated fault, or nullptr
  bool announced;      // the file was announced before it failed
  int errorCode;       // as the host reads it
  const char* next;    // the name of the next shot's file
  const char* says;    // a part of the error's description
};

class FailedShotTest : public ConnectedCameraTest,
                       public ::testing::WithParamInterface<FailedShot> {};

TEST_P(FailedShotTest, HostHearsOnceAndNothingStays) {
  onCameraThread();
  const FailedShot& c = GetParam();
  // An empty folder would put the file wherever the process happens to run (a relative one is
  // refused as a folder at all: tests/camera/file_names_test.cpp).
  const fs::path working = fs::current_path();
  fs::current_path(m_folder);
  if (std::string(c.name) == "NoFolder") g_downloadDirectory = "";
  SimControl("Type0001.md3", std::string("format ") + c.format + " 1");
  if (c.fault) SimControl("Type0001.md3", std::string("fault ") + c.fault);
  if (std::string(c.fault ? c.fault : "") == "capture-hangs") CNikonObject::setStartTimeoutMs(200);
  // Another program's link where the new ".part" file would go, pointing nowhere: the file
  // cannot be created, and what is in the way is not ours to remove.
  const fs::path theirs = m_folder / "Capture0001.jpg.part";
  const bool inTheWay = std::string(c.name) == "PartInTheWay";
  if (inTheWay) fs::create_symlink("/no-such-folder/theirs", theirs);
  {
    std::optional<CFileSizeLimit> fullDisk;
    if (std::string(c.name) == "DiskFull") fullDisk.emplace(1024 * 1024);  // the write falls short
    CaptureAndSettle(camera, manager);
  }
  fs::current_path(working);

  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), c.announced ? 2u : 1u);
  const ZnLuaTETable* error = Payload(*messages.back());
  EXPECT_EQ(messages.back()->name->getString(), "error");
  EXPECT_EQ(Number(error, "error_code"), c.errorCode);
  // The id of the announcement, or none (-12345) for a file the host never heard of.
  EXPECT_EQ(Number(error, "capture_id"),
            c.announced ? Number(Payload(*messages[0]), "capture_id") : -12345);
  EXPECT_NE(Text(error, "error_description").find(c.says), std::string::npos) << c.says;
  EXPECT_EQ(fs::is_symlink(theirs), inTheWay);
  fs::remove(theirs);
  EXPECT_TRUE(FilesIn(m_folder).empty());
  // The camera is still there: one failed call drops nothing, and the next shot works.
  PumpAndSettle(manager);
  ASSERT_EQ(module1()->m_currentCamera, camera);
  g_downloadDirectory = m_folder.string() + "/";
  CaptureAndSettle(camera, manager);
  auto added = TakeNamed("objectWasAdded");
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(Text(Payload(*added[0]), "file_name"), c.next);
  EXPECT_TRUE(camera->m_children.empty()) << "every finished item is let go of";
}

const FailedShot kFailedShots[] = {
    // No usable folder spends no number; a file that cannot be created spends one.
    {"NoFolder", "jpeg", nullptr, false, -1003, "Capture0001.jpg", "download folder"},
    {"PartInTheWay", "jpeg", nullptr, false, -1003, "Capture0002.jpg", "cannot create"},
    {"DiskFull", "raw", nullptr, true, -1004, "Capture0002.nef", "Capture0001.nef: "},
    {"ItemRefused", "jpeg", "open-refused item", false, kNkMAIDResult_HardwareError,
     "Capture0001.jpg", "HardwareError"},
    {"NeverCompletes", "jpeg", "capture-hangs", false, kReleaseNotEnded, "Capture0001.jpg",
     "sent nothing"}};
INSTANTIATE_TEST_SUITE_P(Shots, FailedShotTest, ::testing::ValuesIn(kFailedShots),
                         [](const auto& info) { return std::string(info.param.name); });

// Live view starts and stops whatever the camera is doing (already on, too busy to say, ended
// at the camera) and ends with the camera's connection; the host gets each frame's picture
// however it comes, nothing for a frame without one; a camera unplugged in it is reported at once.
TEST_F(CaptureTest, LiveViewFollowsTheCameraAndSendsOnlyPictures) {
  onCameraThread();
  auto frames = [&] {  // the pictures of the frames one idle tick sends (empty for none)
    onCameraThread();
    PumpAndSettle(manager);
    std::vector<std::vector<unsigned char>> images;
    for (auto& message : TakeNamed("liveViewImage")) {
      const auto* image = dynamic_cast<const ZnLuaTEData*>(Payload(*message)->getValue("image"));
      images.emplace_back();
      if (image) images.back().assign(image->bytes(), image->bytes() + image->size());
    }
    return images;
  };
  ASSERT_EQ(
      camera->setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned, 1), 0);
  ASSERT_TRUE(camera->startLiveView());
  EXPECT_EQ(frames().size(), 1u);
  for (const char* fault : {"fault liveview-short", "fault liveview-short empty"}) {
    SimControl("Type0001.md3", fault);
    EXPECT_TRUE(frames().empty()) << fault;
    EXPECT_EQ(frames().size(), 1u) << "after " << fault;
  }
  // Live view ended at the camera.
  ASSERT_EQ(
      camera->setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned, 0), 0);
  EXPECT_TRUE(camera->stopLiveView());
  EXPECT_TRUE(frames().empty());
  for (const char* habit : {"lv-elements", "lv-busy"}) {
    SimControl("Type0001.md3", std::string("habit ") + habit + " on 1");
    ASSERT_TRUE(camera->startLiveView()) << habit;
    std::vector<std::vector<unsigned char>> got;
    for (int tick = 0; tick < 8; ++tick)
      for (auto& frame : frames()) got.push_back(std::move(frame));
    EXPECT_GE(got.size(), 4u) << habit;
    for (const auto& frame : got) EXPECT_TRUE(IsJpeg(frame)) << habit;
    EXPECT_TRUE(camera->stopLiveView()) << habit;
    SimControl("Type0001.md3", std::string("habit ") + habit + " off 1");
  }
  // Letting go of a camera stops its live view, and so does connecting another.
  ASSERT_TRUE(camera->startLiveView());
  HandleDisconnectDevice(6, DeviceParams(0x101).get());
  HandleConnectDevice(7, DeviceParams(0x101).get());
  EXPECT_FALSE(camera->m_liveViewOn);
  ASSERT_TRUE(camera->startLiveView());
  HandleConnectDevice(8, DeviceParams(0x102).get());
  EXPECT_FALSE(camera->m_liveViewOn);
  HandleConnectDevice(9, DeviceParams(0x101).get());
  ASSERT_TRUE(camera->startLiveView());
  SimControl("Type0001.md3", "unplug 1");
  manager->pumpIdle();  // one idle pass, nothing settled
  EXPECT_EQ(TakeNamed("deviceRemoved").size(), 1u);
  // Type0023 cameras take 3 to switch on.
  HandleConnectDevice(3, DeviceParams(0x1701).get());
  CCamera* other = module23()->m_currentCamera;
  ASSERT_NE(other, nullptr);
  EXPECT_TRUE(other->startLiveView());
  maid::ULONG status = 0;
  ASSERT_EQ(other->getUnsignedValue(kNkMAIDCapability_LiveViewStatus, status), 0);
  EXPECT_EQ(status, 3u);
  // Letting go of every camera at the end leaves live view off, even on a camera too busy to
  // switch it off at the first asking.
  HandleConnectDevice(10, DeviceParams(0x102).get());
  ASSERT_TRUE(module1()->m_currentCamera->startLiveView());
  SimControl("Type0001.md3", "habit lv-off-busy on 2");
  CNikonModuleManager::DestroyInstance();
  manager = CNikonModuleManager::getInstance();
  listDevices();
  ASSERT_EQ(module1()->m_cameras.at(2)->getUnsignedValue(kNkMAIDCapability_LiveViewStatus, status),
            0);
  EXPECT_EQ(status, 0u);
}

// The lens moves by the step for the direction's size: positive away from the camera.
TEST_F(CaptureTest, FocusStepsBySizeAndDirection) {
  onCameraThread();
  auto step = [&](double direction) {
    const double before = SimLensPosition("Type0001.md3", 1);
    ZnLuaTETable params;
    params.setNumber("focus_direction", direction);
    onCameraThread();
    camera->driveFocus(&params);
    return SimLensPosition("Type0001.md3", 1) - before;
  };
  EXPECT_EQ(step(1), 500.0);
  EXPECT_EQ(step(-2), -1000.0);
  EXPECT_EQ(step(-0.5), 2000.0);   // truncated to 0, which drives away
  EXPECT_EQ(step(1e300), 2000.0);  // saturated, not undefined
}

}  // namespace
