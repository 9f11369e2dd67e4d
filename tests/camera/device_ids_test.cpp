// Device ids as the host sees them: the module's place in the module list in the high byte,
// the camera's SDK id in the low byte, for every module (not only the first) and up to the
// top of the camera range; a camera whose id does not fit is never announced under another's.

#include <fstream>

#include "camera/camera_host.h"
#include "tests/camera/fake_module.h"
#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

// The connected two-camera fixture, then a camera at the top of the range on the second
// module.
class LastCameraOfLaterModule : public ConnectedCameraTest {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock) {
    ConnectedCameraTest::SetUp();
    std::ofstream(m_scenarioPath, std::ios::app) << "module Type0023\n"
                                                    "camera 255 type=43 exposure=3 name=D5\n";
    SimControl("Type0023.md3", "reset");
  }
};

TEST_F(LastCameraOfLaterModule, IsAnnouncedConnectedAndRemovedUnderItsOwnId) {
  onCameraThread();
  listDevices();
  EXPECT_EQ(Numbers(TakeNamed("deviceAdded"), "device_id"), (std::vector<double>{0x17FF}));

  HandleConnectDevice(2, DeviceParams(0x17FF).get());
  ASSERT_EQ(TakeNamed("ok").size(), 1u);
  ASSERT_NE(module23()->m_currentCamera, nullptr);
  EXPECT_EQ(module23()->m_currentCamera->m_name, "D5");
  TakeAll();
  // Live view of a camera on the later module reaches the host from the idle tick (its
  // downloads are the request path test's, two modules at once).
  ASSERT_TRUE(module23()->m_currentCamera->startLiveView());
  PumpAndSettle(manager);
  EXPECT_EQ(LiveViewImages().size(), 1u);
  EXPECT_TRUE(module23()->m_currentCamera->stopLiveView());
  // Cameras of the later module come and go through the idle rescans too.
  SimControl("Type0023.md3", "unplug 255");
  SimControl("Type0023.md3", "unplug 1");
  PumpAndSettle(manager);
  EXPECT_EQ(Numbers(TakeNamed("deviceRemoved"), "device_id"),
            (std::vector<double>{0x1701, 0x17FF}));
  EXPECT_EQ(module23()->m_currentCamera, nullptr);
  EXPECT_TRUE(module23()->m_removedCameras.empty());
  EXPECT_EQ(module23()->m_children.count(255), 0u);
  SimControl("Type0023.md3", "plug 255");
  PumpAndSettle(manager);
  EXPECT_EQ(Numbers(TakeNamed("deviceAdded"), "device_id"), (std::vector<double>{0x17FF}));
  PumpAndSettle(manager);
  EXPECT_TRUE(TakeAll().empty()) << "a camera back is announced once";
  HandleConnectDevice(4, DeviceParams(0x17FF).get());
  EXPECT_EQ(TakeNamed("ok").size(), 1u);
}

// The fake module stands in for the last module of the list, with SDK ids the simulator
// cannot have: one past the camera range.
class CameraIdRangeTest : public HostTest {
 protected:
  CTestClock clock{10000};  // long past any settings report
  void SetUp() override LB_ACQUIRE(g_sdkLock) {
    HostTest::SetUp();
    std::vector<CFakeObject> cameras;
    for (maid::ULONG id : {1u, 0xFFu, 0x100u, 0x1FFu}) {
      using C = CFakeCapability;
      cameras.push_back(
          CFakeObject::Make(id, {{kNkMAIDCapability_Name, C::Text("Cam " + std::to_string(id))},
                                 {kNkMAIDCapability_ExposureMode, C::UnsignedEnum({0, 1, 2, 3}, 3)},
                                 {kNkMAIDCapability_IsoControl, C::Bool(false)},
                                 {kNkMAIDCapability_IsAlive, C::Bool(true)}}));
    }
    // Camera 1 cannot be connected: its storage setting cannot be read.
    cameras[0].caps[kNkMAIDCapability_SaveMedia].getResult = kNkMAIDResult_HardwareError;
    fake.root = CFakeObject::Make(0, {}, cameras);
    module = std::make_unique<CNikonModule>(&CFakeModule::FakeEntryPoint, kModuleCount);
  }
  void TearDown() override LB_RELEASE(g_sdkLock) {
    module.reset();
    HostTest::TearDown();
  }

  CFakeModule fake;
  std::unique_ptr<CNikonModule> module;
};

TEST_F(CameraIdRangeTest, IdsPastTheRangeAreNeverAnnounced) {
  onCameraThread();
  module->scanAndInformHostOfCameraChanges();
  auto added = TakeNamed("deviceAdded");
  EXPECT_EQ(Numbers(added, "device_id"), (std::vector<double>{0x1D01, 0x1DFF}));
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(Text(Payload(*added[1]), "name"), "Cam 255");
  EXPECT_EQ(module->m_cameras.size(), 2u);
  EXPECT_EQ(module->m_children.size(), 2u);  // nothing was opened for the others
  // The next scans neither announce the refused ones nor lose the others.
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty());
  EXPECT_EQ(module->connectCamera(1), kNkMAIDResult_HardwareError);
  EXPECT_EQ(module->m_currentCamera, nullptr);  // a failed connection leaves none connected
  EXPECT_EQ(module->connectCamera(0xFF), 0);
  // A camera without live view has no frame to send.
  EXPECT_TRUE(module->m_currentCamera->getLiveViewImage().empty());
  EXPECT_EQ(module->connectCamera(0x100), -1);  // never taken on, so never connected
  // A fresh module has no report pending, and reports the first change at once.
  module->sendPendingSettings();
  EXPECT_TRUE(TakeAll().empty());
  module->sendCameraSettingsSoon();
  EXPECT_EQ(TakeNamed("cameraSettingsChanged").size(), 1u);
  // Another camera that says it is no longer alive goes, and the connected one stays.
  fake.root.children[1].caps[kNkMAIDCapability_IsAlive].value = 0;
  module->scanAndInformHostOfCameraChanges();
  module->deleteRemovedCameras();
  EXPECT_EQ(Numbers(TakeNamed("deviceRemoved"), "device_id"), (std::vector<double>{0x1D01}));
  ASSERT_NE(module->m_currentCamera, nullptr);
  EXPECT_EQ(module->deviceIdOf(module->m_currentCamera), 0x1DFFu);
  // Still listed, it is not taken on again (to go again at once) until it is alive.
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty());
  fake.root.children[1].caps[kNkMAIDCapability_IsAlive].value = 1;
  clock.advance(kCameraRetryMs);
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(Numbers(TakeNamed("deviceAdded"), "device_id"), (std::vector<double>{0x1D01}));
  // Ones the module no longer lists go too, even while they still answer.
  fake.root.caps[kNkMAIDCapability_Children] = CFakeCapability::UnsignedEnum({0x100, 0x1FF}, 0);
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(Numbers(TakeNamed("deviceRemoved"), "device_id"),
            (std::vector<double>{0x1D01, 0x1DFF}));
  module->deleteRemovedCameras();
  EXPECT_EQ(module->m_currentCamera, nullptr);
  EXPECT_TRUE(module->m_children.empty());
}

}  // namespace
