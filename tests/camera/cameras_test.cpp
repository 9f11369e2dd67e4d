// The module manager, its modules and their cameras, against the simulated modules (Type0001.md3
// and Type0023.md3 beside this test executable): discovery and device ids, the connection state
// the commands move, the settings tables and changes, their throttle, cameras that come and go.

#include "tests/camera/sim_fixture.h"

namespace {

using namespace simtest;

class CamerasTest : public SimFixture {};

TEST_F(CamerasTest, FindsModulesInListOrderAndNamesCamerasByModuleAndId) {
  onCameraThread();
  EXPECT_EQ(g_downloadDirectory, platform::temporaryDirectory());
  listDevices();
  auto messages = TakeAll();
  std::vector<double> added;
  for (auto& message : messages) {
    if (message->name->getString() != "deviceAdded") continue;
    EXPECT_EQ(message->requestId, 0u);
    added.push_back(Number(Payload(*message), "device_id"));
  }
  // Each module's place in the list is the high byte of its cameras' ids.
  EXPECT_EQ(added, (std::vector<double>{0x101, 0x102, 0x1701, 0x1702}));
  // The reply comes after the announcements (what it lists is the request path test's).
  EXPECT_EQ(messages.back()->name->getString(), "ok");
  // Known cameras are not announced again, but the reply still lists them.
  listDevices();
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(Payload(*messages[0])->getTable("devices")->count(), 4u);
}

// What the request path test leaves out: connects that are refused or change nothing, which
// camera receives the events, and a disconnect naming the wrong camera of the module.
TEST_F(CamerasTest, ConnectionFollowsTheCommands) {
  onCameraThread();
  listDevices();
  TakeAll();
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

// The keys of the settings table, then whether it shows contrast auto-focus on, and the focus mode.
TEST_F(CamerasTest, SettingsTableFollowsExposureIsoModeAndFocus) {
  onCameraThread();
  listDevices();
  // Each camera's own ISO control, read when it is taken on: the second sets ISO by itself,
  // so the host is offered no ISO list for it.
  EXPECT_EQ(module1()->m_cameras.at(2)->makeSettingsTable()->getTable("isoEntries"), nullptr);
  EXPECT_NE(module1()->m_cameras.at(1)->makeSettingsTable()->getTable("isoEntries"), nullptr);
  CCamera* camera = module1()->m_cameras.at(1);
  auto keysOf = [&]() {
    onCameraThread();
    const std::unique_ptr<ZnLuaTETable> table = camera->makeSettingsTable();
    std::string keys;
    for (const auto& entry : *table) keys += entry.first->getString() + " ";
    return keys + Text(table.get(), "AFButtonPressed") + " " + Text(table.get(), "focusMode");
  };
  // Each mode offers the lists of what the photographer sets in it: none in automatic (0),
  // the aperture in aperture priority (1), the shutter in shutter priority (2), both in
  // manual (3); white balance in all but automatic.
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
}

TEST_F(CamerasTest, EntryIndexFromTheHostSelectsThatEntry) {
  onCameraThread();
  listDevices();
  CCamera* camera = module1()->m_cameras.at(1);
  camera->m_exposureMode = 3;
  auto settings = [&] {
    onCameraThread();
    return camera->makeSettingsTable();
  };
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
    std::vector<std::string> texts;  // in the camera's order (the keys: the request path test)
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

// A dial turned quickly: the host gets at most one report per half second on the camera
// clock, and the last one carries the latest values.
TEST_F(CamerasTest, SettingsNotificationsAreSpacedHalfASecond) {
  onCameraThread();
  clock->set(1000);
  listDevices();
  HandleConnectDevice(2, DeviceParams(0x101).get());  // reports the settings
  TakeAll();
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
  // A change marked before the camera is let go of is dropped with it.
  module->sendCameraSettingsSoon();
  HandleDisconnectDevice(3, DeviceParams(0x101).get());
  EXPECT_EQ(pumpedAt(6000), 0u);
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
