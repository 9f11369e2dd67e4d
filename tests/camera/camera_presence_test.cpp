// What decides that a camera is there: a camera that leaves out capabilities others list, or
// answers busy when asked whether it is alive, is still shown and kept; only one that says it
// is gone, or leaves its module's list, is dropped.

#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "tests/camera/fake_module.h"
#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;
using C = CFakeCapability;

class CameraPresenceTest : public HostTest {
 protected:
  // Camera 1 lists what most cameras list; camera 2 has no IsAlive and no IsoControl, and its
  // exposure mode is a plain number rather than a list.
  void SetUp() override LB_ACQUIRE(g_sdkLock) {
    HostTest::SetUp();
    fake.root = CFakeObject::Make(
        0, {},
        {CFakeObject::Make(1, {{kNkMAIDCapability_Name, C::Text("D850")},
                               {kNkMAIDCapability_ExposureMode, C::UnsignedEnum({0, 1, 2, 3}, 3)},
                               {kNkMAIDCapability_IsoControl, C::Bool(false)},
                               {kNkMAIDCapability_IsAlive, C::Bool(true)}}),
         CFakeObject::Make(2, {{kNkMAIDCapability_Name, C::Text("Df")},
                               {kNkMAIDCapability_ExposureMode, C::Unsigned(1)}})});
  }
  void TearDown() override LB_RELEASE(g_sdkLock) {
    module.reset();
    HostTest::TearDown();
  }
  void open() { module = std::make_unique<CNikonModule>(&CFakeModule::FakeEntryPoint, 1); }
  std::vector<double> added() { return Numbers(TakeNamed("deviceAdded"), "device_id"); }

  CTestClock clock{0};
  CFakeModule fake;
  std::unique_ptr<CNikonModule> module;
};

// Camera 2, without the optional capabilities, is shown and kept; camera 1 is kept while it
// answers busy, and dropped once it says it is gone.
TEST_F(CameraPresenceTest, ACameraIsShownAndKeptUntilItSaysItIsGone) {
  onCameraThread();
  open();
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(added(), (std::vector<double>{0x101, 0x102}));
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty()) << "nothing comes or goes on the next scan";
  EXPECT_EQ(module->connectCamera(2), 0);
  ASSERT_EQ(module->connectCamera(1), 0);
  CFakeCapability& alive = fake.find({1})->caps[kNkMAIDCapability_IsAlive];
  alive.getResult = kNkMAIDResult_DeviceBusy;
  module->scanAndInformHostOfCameraChanges();
  EXPECT_TRUE(TakeAll().empty()) << "a busy camera is not a gone one";
  EXPECT_NE(module->m_currentCamera, nullptr);
  // Now it says it is gone.
  alive.getResult = 0;
  alive.value = 0;
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(Numbers(TakeNamed("deviceRemoved"), "device_id"), (std::vector<double>{0x101}));
  EXPECT_EQ(module->m_currentCamera, nullptr);
}

// Listed but dead, or refusing to be opened: not announced, nothing half-built kept, tried
// again only once a second has passed, and announced once it can be taken on.
TEST_F(CameraPresenceTest, ACameraThatCannotBeTakenOnIsTriedAgainOnlyOnceASecond) {
  onCameraThread();
  for (const bool refusesOpen : {false, true}) {
    SCOPED_TRACE(refusesOpen ? "refuses to open" : "not alive");
    fake.root = CFakeObject::Make(
        0, {},
        {CFakeObject::Make(3, {{kNkMAIDCapability_Name, C::Text("D5")},
                               {kNkMAIDCapability_IsAlive, C::Bool(refusesOpen)}})});
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
    // Once it can be taken on, the next try announces it.
    fake.root.children[3].openResult = 0;
    fake.root.children[3].caps[kNkMAIDCapability_IsAlive].value = 1;
    clock.set(7000);
    module->scanAndInformHostOfCameraChanges();
    EXPECT_EQ(added(), (std::vector<double>{0x103}));
  }
}

TEST_F(CameraPresenceTest, AModuleWhoseListCouldNotBeReadAtFirstFindsItsCamerasLater) {
  onCameraThread();
  fake.bufferSizeAnswers = 8;  // every pass of the first reading of the module's list
  open();
  ASSERT_EQ(module->capabilityCount(), 0);
  module->scanAndInformHostOfCameraChanges();
  EXPECT_EQ(added(), (std::vector<double>{0x101, 0x102}));
}

}  // namespace
