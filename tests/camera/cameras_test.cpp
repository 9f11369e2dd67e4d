// The module manager, its modules and their cameras on the simulated modules: discovery and
// device ids, the connection the commands move, the settings tables, their throttle.

#include <array>

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
  // Known cameras are not announced again.
  listDevices();
  EXPECT_EQ(Names(TakeAll()), Strings{"ok"});
  auto connect = [&](std::uint32_t requestId, double deviceId) {
    onCameraThread();
    HandleConnectDevice(requestId, DeviceParams(deviceId).get());
    return TakeAll();
  };
  // Unknown camera of a known module, and an unknown module.
  HandleConnectDevice(5, DeviceParams(0x109).get());
  EXPECT_EQ(Taken("error", "error_code"), Doubles{-1});
  EXPECT_TRUE(connect(6, 0x501).empty());
  EXPECT_EQ(Names(connect(7, 0x101)), Strings{"ok"});
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
  // A camera of the later module unplugged and plugged in again, seen by the idle rescans.
  for (const char* line : {"unplug 2", "plug 2"}) {
    SimControl("Type0023.md3", line);
    PumpAndSettle(manager);
  }
  EXPECT_EQ(Names(TakeAll()), (Strings{"deviceRemoved", "deviceAdded"}));
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
  const std::pair<std::uint32_t, const char*> kKeysByMode[] = {
      {0, "aperture focusMode isoEntries isoSpeed shutter whiteBalance"},
      {1, "aperture apertureEntries focusMode isoEntries isoSpeed shutter wbEntries whiteBalance"},
      {2, "aperture focusMode isoEntries isoSpeed shutter shutterEntries wbEntries whiteBalance"},
  };
  for (const auto& [mode, keys] : kKeysByMode) {
    camera->m_exposureMode = mode;
    EXPECT_EQ(keysOf(), std::string("AFButtonPressed ") + keys + " Off autoFocusMode")
        << "mode " << mode;
  }
  camera->m_exposureMode = 3;  // manual, and the camera sets ISO by itself
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
  // The host's name of each setting, its key in the table, and the key of its entries.
  const std::array<const char*, 3> cases[] = {{"isoSpeedValue", "isoSpeed", "isoEntries"},
                                              {"shutterValue", "shutter", "shutterEntries"},
                                              {"wbValue", "whiteBalance", "wbEntries"},
                                              {"apertureValue", "aperture", "apertureEntries"}};
  for (const auto& [param, key, entriesKey] : cases) {
    const ZnLuaTETable* entries = before->getTable(entriesKey);
    ASSERT_NE(entries, nullptr) << entriesKey;
    std::vector<std::string> texts;
    for (const auto& entry : *entries) texts.push_back(entry.second->getString());
    ASSERT_GE(texts.size(), 4u) << entriesKey;
    for (const auto& [index, entry] : {std::pair{2.0, 2}, {3.9, 3}, {-0.5, 0}}) {  // toward zero
      choose(param, index);
      EXPECT_EQ(Text(settings().get(), key), texts[entry]) << param << " " << index;
    }
  }
  // Indices that name no entry, and names that are not exactly a setting, change nothing.
  const auto chosen = settings();
  for (const auto& [param, index] : {std::pair{"apertureValue", -7.0},
                                     {"apertureValue", 1e300},
                                     {"apertureValue ", 1.0},
                                     {"wbValue2", 1.0}})
    choose(param, index);
  for (const auto& c : cases) EXPECT_EQ(Text(settings().get(), c[1]), Text(chosen.get(), c[1]));
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
  // Switching live view on waits for the time left.
  clock->set(1900);
  EXPECT_EQ(module->settingsSpacingLeftMs(), 100u);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 0u);
  EXPECT_EQ(pumpedAt(2000), 1u);
  EXPECT_EQ(pumpedAt(3000), 0u) << "sent once, not per change";
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
  // A change marked before the camera is let go of is dropped with it.
  module->sendCameraSettingsSoon();
  HandleDisconnectDevice(3, DeviceParams(0x101).get());
  EXPECT_EQ(pumpedAt(7000), 0u);
  module->sendCameraSettingsSoon();
  EXPECT_EQ(reports(), 0u);
}

TEST(LiveViewHeaderSize, DependsOnModuleTypeAndCameraType) {
  const std::tuple<std::uint32_t, const char*, std::uint32_t> cases[] = {
      {43, "Type0001", 128}, {44, "Type0001", 64}, {1, "Type0003", 128},
      {1, "Type0025", 512},  {1, "Type00", 384},   {1, "Type00010", 384}};
  for (const auto& [camera, module, size] : cases)
    EXPECT_EQ(LiveViewHeaderSize(camera, module), size) << camera << " " << module;
}

}  // namespace
