// The module manager, its modules and their cameras on the simulated modules: discovery and
// device ids, the connection the commands move, the settings tables, their throttle.

#include <fstream>

#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

class CamerasTest : public SimFixture {};

// Discovery: each module's place in the list is the high byte of its cameras' ids, and the
// reply follows the announcements. Then what the request path test leaves out: connects that
// are refused or change nothing, which camera gets the events, a disconnect naming another.
TEST_F(CamerasTest, FindsCamerasByModuleAndIdAndConnectsAsTheCommandsSay) {
  onCameraThread();
  EXPECT_EQ(g_downloadDirectory, platform::temporaryDirectory());
  listDevices();
  auto listed = TakeAll();
  ASSERT_EQ(Names(listed),
            (Strings{"deviceAdded", "deviceAdded", "deviceAdded", "deviceAdded", "ok"}));
  listed.pop_back();
  EXPECT_EQ(Numbers(listed, "device_id"), (Doubles{0x101, 0x102, 0x1701, 0x1702}));
  for (const auto& message : listed) EXPECT_EQ(message->requestId, 0u);
  // Known cameras are not announced again, but the reply still lists them.
  listDevices();
  listed = TakeAll();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(Payload(*listed[0])->getTable("devices")->count(), 4u);
  auto connect = [&](std::uint32_t requestId, double deviceId) {
    onCameraThread();
    HandleConnectDevice(requestId, DeviceParams(deviceId).get());
    return TakeAll();
  };
  // Unknown camera of a known module, and an unknown module.
  HandleConnectDevice(5, DeviceParams(0x109).get());
  auto errors = TakeNamed("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]->requestId, 5u);
  EXPECT_EQ(Number(Payload(*errors[0]), "error_code"), -1);
  EXPECT_EQ(Payload(*errors[0])->count(), 1u);
  EXPECT_TRUE(connect(6, 0x501).empty());
  const auto messages = connect(7, 0x101);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->value, nullptr);
  EXPECT_EQ(messages[1]->name->getString(), "cameraSettingsChanged");
  CCamera* first = module1()->m_currentCamera;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->lifetime(), CameraLifetime::Connected);
  // The same camera again: nothing at all. The other camera of the module takes the events.
  EXPECT_TRUE(connect(8, 0x101).empty());
  HandleConnectDevice(9, DeviceParams(0x102).get());
  EXPECT_EQ(TakeNamed("ok").size(), 1u);
  EXPECT_EQ(first->lifetime(), CameraLifetime::Known);
  // A camera of another module: the first module keeps its camera.
  connect(10, 0x1701);
  EXPECT_EQ(manager->m_currentModule, module23());
  ASSERT_NE(module1()->m_currentCamera, nullptr);
  SendCameraSettings(14, DeviceParams(0x1E01).get());  // no such module: no reply
  EXPECT_TRUE(TakeAll().empty());
  // Disconnect with a mismatching camera of an existing module still disconnects.
  HandleDisconnectDevice(15, DeviceParams(0x1702).get());
  EXPECT_EQ(module23()->m_currentCamera, nullptr);
  EXPECT_EQ(manager->m_currentModule, module23());
}

// The keys of the settings table, whether it shows contrast auto-focus on, and the focus mode;
// then the entry the host chooses by its index.
TEST_F(CamerasTest, SettingsTableFollowsTheCameraAndTheHostsChoice) {
  onCameraThread();
  listDevices();
  // The second camera sets ISO by itself, so the host is offered no ISO list for it.
  EXPECT_EQ(module1()->m_cameras.at(2)->makeSettingsTable()->getTable("isoEntries"), nullptr);
  EXPECT_NE(module1()->m_cameras.at(1)->makeSettingsTable()->getTable("isoEntries"), nullptr);
  CCamera* camera = module1()->m_cameras.at(1);
  auto settings = [&] {
    onCameraThread();
    return camera->makeSettingsTable();
  };
  auto keysOf = [&]() {
    const std::unique_ptr<ZnLuaTETable> table = settings();
    std::string keys;
    for (const auto& entry : *table) keys += entry.first->getString() + " ";
    return keys + Text(table.get(), "AFButtonPressed") + " " + Text(table.get(), "focusMode");
  };
  // Each mode offers the lists of what the photographer sets in it (0 automatic, 1 aperture
  // priority, 2 shutter priority, 3 manual); white balance in all but automatic.
  camera->m_isoControl = false;
  const std::pair<std::uint32_t, const char*> kKeysByMode[] = {
      {0, "aperture focusMode isoEntries isoSpeed shutter whiteBalance"},
      {1, "aperture apertureEntries focusMode isoEntries isoSpeed shutter wbEntries whiteBalance"},
      {2, "aperture focusMode isoEntries isoSpeed shutter shutterEntries wbEntries whiteBalance"},
      {3,
       "aperture apertureEntries focusMode isoEntries isoSpeed shutter shutterEntries wbEntries "
       "whiteBalance"},
  };
  for (const auto& [mode, keys] : kKeysByMode) {
    camera->m_exposureMode = mode;
    EXPECT_EQ(keysOf(), std::string("AFButtonPressed ") + keys + " Off autoFocusMode")
        << "mode " << mode;
  }
  camera->m_isoControl = true;
  camera->m_autoFocusOn = true;
  ASSERT_EQ(camera->setCapabilityValue(kNkMAIDCapability_FocusMode, kNkMAIDDataType_Unsigned, 0),
            0);
  EXPECT_EQ(keysOf(),
            "AFButtonPressed aperture apertureEntries focusMode isoSpeed "
            "shutter shutterEntries wbEntries whiteBalance On manualFocusMode");
  // The camera's report of a changed mode brings back its own values.
  camera->m_exposureMode = 0;
  for (maid::ULONG cap : {kNkMAIDCapability_ExposureMode, kNkMAIDCapability_IsoControl})
    camera->onEvent(kNkMAIDEvent_CapChangeValueOnly, cap);
  EXPECT_EQ(camera->m_exposureMode, 3u);
  EXPECT_FALSE(camera->m_isoControl);
  // The host chooses an entry by its index, in the camera's order (in mode 3 now).
  const auto before = settings();
  auto choose = [&](const char* key, double index) {
    ZnLuaTETable params;
    params.setString("param_key", key);
    params.setNumber("param_value", index);
    onCameraThread();
    camera->updateCameraSetting(&params, "");
  };
  const struct {
    const char* param;
    const char* key;
    const char* entries;
  } cases[] = {{"isoSpeedValue", "isoSpeed", "isoEntries"},
               {"shutterValue", "shutter", "shutterEntries"},
               {"wbValue", "whiteBalance", "wbEntries"},
               {"apertureValue", "aperture", "apertureEntries"}};
  for (const auto& c : cases) {
    const ZnLuaTETable* entries = before->getTable(c.entries);
    ASSERT_NE(entries, nullptr) << c.entries;
    std::vector<std::string> texts;
    for (const auto& entry : *entries) texts.push_back(entry.second->getString());
    ASSERT_GE(texts.size(), 4u) << c.entries;
    for (const auto& [index, entry] : {std::pair{2.0, 2}, {3.9, 3}, {-0.5, 0}}) {  // toward zero
      choose(c.param, index);
      EXPECT_EQ(Text(settings().get(), c.key), texts[entry]) << c.param << " " << index;
    }
  }
  // Indices that name no entry, and names that are not exactly a setting, change nothing.
  const auto chosen = settings();
  for (const auto& [param, index] : {std::pair{"apertureValue", -7.0},
                                     {"apertureValue", 1e300},
                                     {"apertureValue ", 1.0},
                                     {"wbValue2", 1.0}})
    choose(param, index);
  for (const auto& c : cases) EXPECT_EQ(Text(settings().get(), c.key), Text(chosen.get(), c.key));
  ZnLuaTENumber notATable(1);
  EXPECT_EQ(camera->setEnumSetting(kNkMAIDCapability_Aperture, &notATable), -123);
}

// Read for a setting's value or beside its entries, an enumeration without a current entry
// shows the setting empty; the entries stay there to choose from.
TEST_F(CamerasTest, EnumerationWithoutCurrentEntryLeavesThatSettingEmpty) {
  onCameraThread();
  SimControl("Type0001.md3", "habit enum-out-of-range on ");
  listDevices();
  EXPECT_EQ(module1()->m_cameras.size(), 2u);  // both cameras still appear
  CCamera* camera = module1()->m_cameras.at(1);
  camera->m_exposureMode = 1;  // aperture priority: the aperture's entries, the shutter's value
  const std::unique_ptr<ZnLuaTETable> settings = camera->makeSettingsTable();
  for (const char* key : {"whiteBalance", "aperture", "shutter"})
    EXPECT_EQ(Text(settings.get(), key), "") << key;
  ASSERT_NE(settings->getTable("apertureEntries"), nullptr);
  EXPECT_EQ(settings->getTable("apertureEntries")->count(), 8u);
}

using SettingsReportsTest = ConnectedCameraTest;

// A dial turned quickly: at most one report per half second on the camera clock (the
// connection's at 1000 ms), the last with the latest values.
TEST_F(SettingsReportsTest, AreSpacedHalfASecondAndNoneIsLost) {
  onCameraThread();
  CNikonModule* module = module1();
  auto reports = [] { return TakeNamed("cameraSettingsChanged").size(); };
  auto pumpedAt = [&](std::uint32_t ms) {
    onCameraThread();
    clock->set(ms);
    PumpAndSettle(manager);
    return reports();
  };
  for (int i = 0; i < 20; ++i) module->sendCameraSettingsSoon();
  EXPECT_EQ(pumpedAt(1499), 0u);
  EXPECT_EQ(pumpedAt(1500), 1u);
  EXPECT_EQ(pumpedAt(2500), 0u) << "sent once, not per change";
  // Half a second after the last report, a change is sent at once.
  clock->set(5000);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 1u);
  // Switching live view on waits for the time left.
  clock->set(5400);
  EXPECT_EQ(module->settingsSpacingLeftMs(), 100u);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 0u);
  EXPECT_EQ(pumpedAt(5500), 1u);
  // A change the camera reports inside a table's reads (ISO to auto) follows that table later.
  SimControl("Type0001.md3", "habit events-in-calls on 1");
  ASSERT_EQ(0,
            camera->setCapabilityValue(kNkMAIDCapability_IsoControl, kNkMAIDDataType_Unsigned, 1));
  clock->set(6000);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 1u);
  EXPECT_TRUE(module->m_settingsThrottle.pending()) << "the change inside the reads is not lost";
  clock->set(6500);
  module->sendPendingSettings();
  EXPECT_EQ(reports(), 1u);
  EXPECT_FALSE(module->m_settingsThrottle.pending());
  SimControl("Type0001.md3", "habit events-in-calls off 1");
  // A change marked before the camera is let go of is dropped with it.
  module->sendCameraSettingsSoon();
  HandleDisconnectDevice(3, DeviceParams(0x101).get());
  EXPECT_EQ(pumpedAt(7000), 0u);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 0u);
}

// A camera at the top of the id range on the second module, plugged in after the first listing.
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
  EXPECT_EQ(Taken("deviceAdded", "device_id"), (Doubles{0x17FF}));
  HandleConnectDevice(2, DeviceParams(0x17FF).get());
  ASSERT_EQ(TakeNamed("ok").size(), 1u);
  ASSERT_NE(module23()->m_currentCamera, nullptr);
  TakeAll();
  // Its live view reaches the host from the idle tick.
  ASSERT_TRUE(module23()->m_currentCamera->startLiveView());
  PumpAndSettle(manager);
  EXPECT_EQ(LiveViewImages().size(), 1u);
  EXPECT_TRUE(module23()->m_currentCamera->stopLiveView());
  // Cameras of the later module come and go through the idle rescans too.
  SimControl("Type0023.md3", "unplug 255");
  SimControl("Type0023.md3", "unplug 1");
  PumpAndSettle(manager);
  EXPECT_EQ(Taken("deviceRemoved", "device_id"), (Doubles{0x1701, 0x17FF}));
  EXPECT_EQ(module23()->m_currentCamera, nullptr);
  EXPECT_TRUE(module23()->m_removedCameras.empty());
  EXPECT_EQ(module23()->m_children.count(255), 0u);
  SimControl("Type0023.md3", "plug 255");
  PumpAndSettle(manager);
  EXPECT_EQ(Taken("deviceAdded", "device_id"), (Doubles{0x17FF}));
  HandleConnectDevice(4, DeviceParams(0x17FF).get());
  EXPECT_EQ(TakeNamed("ok").size(), 1u);
}

TEST(LiveViewHeaderSize, DependsOnModuleTypeAndCameraType) {
  const std::tuple<std::uint32_t, const char*, std::uint32_t> cases[] = {
      {43, "Type0001", 128}, {44, "Type0001", 64}, {1, "Type0003", 128},
      {1, "Type0025", 512},  {1, "Type00", 384},   {1, "Type00010", 384}};
  for (const auto& [camera, module, size] : cases)
    EXPECT_EQ(LiveViewHeaderSize(camera, module), size) << camera << " " << module;
}

}  // namespace
