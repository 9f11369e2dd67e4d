// What decides that a camera is there, and its device id: only a camera that says it is gone,
// or leaves its module's list, is dropped; an SDK id past the low byte is never announced.

#include "tests/camera/fake_module.h"

namespace {

using namespace simtest;
using C = CFakeCapability;

// A camera listing what most cameras list.
CFakeObject Camera(maid::ULONG id, const std::string& name) {
  return CFakeObject::Make(id, {{kNkMAIDCapability_Name, C::Text(name)},
                                {kNkMAIDCapability_ExposureMode, C::UnsignedEnum({0, 1, 2, 3}, 3)},
                                {kNkMAIDCapability_IsoControl, C::Bool(false)},
                                {kNkMAIDCapability_IsAlive, C::Bool(true)}});
}

class CameraPresenceTest : public FakeModuleTest {
 protected:
  CTestClock clock{0};
};

// Listed but dead, or refusing to be opened: not announced, nothing half-built kept, tried
// again only once a second has passed, and announced once it can be taken on.
TEST_F(CameraPresenceTest, ACameraThatCannotBeTakenOnIsTriedAgainOnlyOnceASecond) {
  onCameraThread();
  for (const bool refusesOpen : {false, true}) {
    SCOPED_TRACE(refusesOpen ? "refuses to open" : "not alive");
    fake.root = CFakeObject::Make(0, {}, {Camera(3, "D5")});
    fake.root.children[3].caps[kNkMAIDCapability_IsAlive].value = refusesOpen;
    if (refusesOpen) fake.root.children[3].openResult = kNkMAIDResult_HardwareError;
    open();
    const int opensBefore = fake.count(kNkMAIDCommand_Open);
    for (std::uint32_t ms : {0, 100, 999, 1000}) {
      clock.set(5000 + ms);
      module->scanAndInformHostOfCameraChanges();
    }
    EXPECT_EQ(fake.count(kNkMAIDCommand_Open) - opensBefore, 2) << "at 0 ms and at 1000 ms";
    EXPECT_TRUE(TakeAll().empty());
    EXPECT_TRUE(module->m_children.empty());
    fake.root.children[3].openResult = 0;
    fake.root.children[3].caps[kNkMAIDCapability_IsAlive].value = 1;
    clock.set(7000);
    module->scanAndInformHostOfCameraChanges();
    EXPECT_EQ(Taken("deviceAdded", "device_id"), (Doubles{0x103}));
  }
}

// The last module of the list, with SDK ids the simulator cannot have: one past the camera
// range. Its list unread at first (every pass of the open's reading of it), the module finds
// its cameras later. Camera 1 cannot be connected: its storage setting cannot be read. Camera
// 0xFF lists no IsAlive, and a plain number for its exposure mode.
TEST_F(CameraPresenceTest, IdsPastTheRangeAreNeverAnnounced) {
  onCameraThread();
  fake.root = CFakeObject::Make(
      0, {},
      {Camera(1, "Cam 1"),
       CFakeObject::Make(0xFF, {{kNkMAIDCapability_Name, C::Text("Cam 255")},
                                {kNkMAIDCapability_ExposureMode, C::Unsigned(1)}}),
       Camera(0x100, "x"), Camera(0x1FF, "y")});
  fake.root.children[1].caps[kNkMAIDCapability_SaveMedia].getResult = kNkMAIDResult_HardwareError;
  fake.bufferSizeAnswers = 8;
  open(kModuleCount);
  ASSERT_EQ(module->capabilityCount(), 0);
  module->scanAndInformHostOfCameraChanges();
  auto added = TakeNamed("deviceAdded");
  EXPECT_EQ(Numbers(added, "device_id"), (Doubles{0x1D01, 0x1DFF}));
  ASSERT_EQ(added.size(), 2u);
  EXPECT_EQ(Text(Payload(*added[1]), "name"), "Cam 255");
  EXPECT_EQ(module->m_children.size(), 2u);  // nothing was opened for the others
  // The next scans neither announce the refused ones nor lose (or announce again) the others.
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty());
  EXPECT_EQ(module->connectCamera(1), kNkMAIDResult_HardwareError);
  EXPECT_EQ(module->m_currentCamera, nullptr);  // a failed connection leaves none connected
  EXPECT_EQ(module->connectCamera(0xFF), 0);
  EXPECT_EQ(module->connectCamera(0x100), -1);  // never taken on, so never connected
  // A busy camera is not a gone one; one that says it is no longer alive goes, and the
  // connected one stays.
  CFakeCapability& alive = fake.find({1})->caps[kNkMAIDCapability_IsAlive];
  alive.getResult = kNkMAIDResult_DeviceBusy;
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty());
  alive = C::Bool(false);
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(Taken("deviceRemoved", "device_id"), (Doubles{0x1D01}));
  ASSERT_NE(module->m_currentCamera, nullptr);
  EXPECT_EQ(module->deviceIdOf(module->m_currentCamera), 0x1DFFu);
  // One the module no longer lists goes too, even while it still answers, and with it the
  // connection.
  fake.root.caps[kNkMAIDCapability_Children] = CFakeCapability::UnsignedEnum({0x100, 0x1FF}, 0);
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(Taken("deviceRemoved", "device_id"), (Doubles{0x1DFF}));
  EXPECT_EQ(module->m_currentCamera, nullptr);
  module->deleteRemovedCameras();
  EXPECT_TRUE(module->m_children.empty());
}

}  // namespace
