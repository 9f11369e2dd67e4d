// The SDK object wrapper and the SDK names, against the scripted fake module.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/sdkobject/maid_names.h"
#include "camera/sdkobject/nikon_object.h"
#include "tests/camera/fake_module.h"
#include "values/lua_value.h"

namespace {

constexpr maid::ULONG kCamera = 5;
constexpr maid::ULONG kItem = 9;

class CRecordingObject : public CNikonObject {
 public:
  using CNikonObject::CNikonObject;
  void onCompletion(maid::ULONG, maid::NKERROR result, maid::NKPARAM) override {
    ++completions;
    lastResult = result;
  }
  void onEvent(maid::ULONG event, maid::NKPARAM) override { events.push_back(event); }
  int completions = 0;
  maid::NKERROR lastResult = 0;
  std::vector<maid::ULONG> events;
};

class SdkObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CFakeObject camera;
    camera.id = kCamera;
    CFakeObject item;
    item.id = kItem;
    item.addStandardCaps();
    camera.children[kItem] = item;
    camera.addStandardCaps();
    auto& caps = camera.caps;
    caps[kNkMAIDCapability_Name] = CFakeCapability::Text("D90");
    caps[kNkMAIDCapability_IsAlive] = CFakeCapability::Bool(true);
    caps[kNkMAIDCapability_BatteryLevel] = CFakeCapability::Unsigned(4294967295u);
    caps[kNkMAIDCapability_ExposureMode] = CFakeCapability::UnsignedEnum({10, 20, 30}, 2);
    caps[kNkMAIDCapability_ShutterSpeed] = CFakeCapability::PackedEnum({"a", "b", "c"}, 1);
    caps[kNkMAIDCapability_Aperture] = CFakeCapability::FixedEnum({"f/2", "f/4"}, 1);
    caps[kNkMAIDCapability_Capture] = CFakeCapability::Process();
    fake.root.children[kCamera] = camera;
    fake.root.addStandardCaps();
  }
  void TearDown() override { CNikonObject::setTransferInactivityMs(30000); }

  void openTree() {
    module = std::make_unique<CRecordingObject>(&CFakeModule::FakeEntryPoint, nullptr, 0);
    camera = module->adoptChild(std::make_unique<CRecordingObject>(module.get(), kCamera));
  }
  CFakeCapability& cap(maid::ULONG id) { return fake.find({kCamera})->caps[id]; }

  CFakeModule fake;
  std::unique_ptr<CRecordingObject> module;
  CRecordingObject* camera = nullptr;  // owned by module
};

TEST_F(SdkObjectTest, TypedReadsAndMissingCapabilities) {
  openTree();
  std::string name;
  bool alive = false;
  maid::ULONG level = 0;
  EXPECT_EQ(0, camera->getStringValue(kNkMAIDCapability_Name, name));
  EXPECT_EQ("D90", name);
  EXPECT_EQ(0, camera->getBoolValue(kNkMAIDCapability_IsAlive, alive));
  EXPECT_TRUE(alive);
  EXPECT_EQ(0, camera->getUnsignedValue(kNkMAIDCapability_BatteryLevel, level));
  EXPECT_EQ(4294967295u, level);

  // A capability the object does not list never reaches the SDK.
  const int before = fake.count(kNkMAIDCommand_CapGet);
  EXPECT_EQ(kCapabilityNotFound, camera->getStringValue(kNkMAIDCapability_Firmware, name));
  EXPECT_EQ(kCapabilityNotFound, camera->getBoolValue(kNkMAIDCapability_Firmware, alive));
  EXPECT_EQ(kCapabilityNotFound, camera->getUnsignedValue(kNkMAIDCapability_Firmware, level));
  maid::ULONG current = 0;
  std::vector<maid::ULONG> values;
  std::vector<std::string> texts;
  EXPECT_EQ(-1, camera->getUnsignedEnumValue(kNkMAIDCapability_Firmware, current, values));
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_Firmware, name, texts));
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Firmware, camera));
  EXPECT_EQ(before, fake.count(kNkMAIDCommand_CapGet));
  EXPECT_EQ(0, fake.count(kNkMAIDCommand_CapStart));

  // An SDK failure is returned as is and leaves the value alone.
  cap(kNkMAIDCapability_Name).getResult = kNkMAIDResult_DeviceBusy;
  EXPECT_EQ(kNkMAIDResult_DeviceBusy, camera->getStringValue(kNkMAIDCapability_Name, name));
  EXPECT_EQ("D90", name);
}

TEST_F(SdkObjectTest, EnumerationReaders) {
  openTree();
  maid::ULONG current = 0;
  std::vector<maid::ULONG> values;
  EXPECT_EQ(0, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, current, values));
  EXPECT_EQ(30u, current);
  EXPECT_EQ((std::vector<maid::ULONG>{10, 20, 30}), values);

  std::string text;
  std::vector<std::string> texts;
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_ShutterSpeed, text, texts));
  EXPECT_EQ("b", text);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), texts);
  texts.clear();
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_Aperture, text, texts));
  EXPECT_EQ("f/4", text);
  EXPECT_EQ((std::vector<std::string>{"f/2", "f/4"}), texts);

  // A current index at or past the entries is a camera fault: every reader still gives the
  // entries, and no current entry.
  cap(kNkMAIDCapability_ShutterSpeed).current = 3;
  cap(kNkMAIDCapability_Aperture).current = 2;
  cap(kNkMAIDCapability_ExposureMode).current = 3;
  texts.clear();
  EXPECT_EQ(kCurrentEntryMissing, camera->getStringEnumValue(kNkMAIDCapability_ShutterSpeed, text, texts));
  EXPECT_EQ("", text);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), texts);
  text = "stale";
  texts.clear();
  EXPECT_EQ(kCurrentEntryMissing, camera->getStringEnumValue(kNkMAIDCapability_Aperture, text, texts));
  EXPECT_EQ("", text);
  EXPECT_EQ((std::vector<std::string>{"f/2", "f/4"}), texts);
  values.clear();
  EXPECT_EQ(kCurrentEntryMissing,
            camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, current, values));
  EXPECT_EQ((std::vector<maid::ULONG>{10, 20, 30}), values);

  // No elements: current 0 and an empty list.
  cap(kNkMAIDCapability_ExposureMode) = CFakeCapability::UnsignedEnum({}, 0);
  current = 7;
  EXPECT_EQ(0, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, current, values));
  EXPECT_EQ(0u, current);
  EXPECT_TRUE(values.empty());

  // A kind the reader cannot read, and an absurd element count, are refused without reading.
  EXPECT_EQ(-1, camera->getUnsignedEnumValue(kNkMAIDCapability_ShutterSpeed, current, values));
  cap(kNkMAIDCapability_ExposureMode).elementCount = 0x7FFFFFFF;
  EXPECT_EQ(-1, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, current, values));
}

TEST_F(SdkObjectTest, CapabilityListIsAskedAgainAfterBufferSize) {
  fake.bufferSizeAnswers = 2;
  openTree();
  EXPECT_TRUE(module->hasCapability(kNkMAIDCapability_Children));
  EXPECT_EQ(3, fake.count(kNkMAIDCommand_GetCapCount, 0));

  // A list that never settles ends with no capabilities, count and block agreeing.
  fake.bufferSizeAnswers = 1000;
  camera->loadCapabilityInfo();
  EXPECT_EQ(0, camera->capabilityCount());
  EXPECT_EQ(nullptr, camera->capabilityList());
  std::string name;
  EXPECT_EQ(kCapabilityNotFound, camera->getStringValue(kNkMAIDCapability_Name, name));
}

TEST_F(SdkObjectTest, EventsReachTheirTargetsOnlyWhenRegistered) {
  openTree();
  CRecordingObject* item = camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem));
  fake.queueEvent({kCamera}, kNkMAIDEvent_CapChange, 0);
  module->callAsync();
  EXPECT_EQ((std::vector<maid::ULONG>{kNkMAIDEvent_CapChange}), camera->events);

  // The base class routes what it does not handle to m_eventTarget.
  CNikonObject* plain = item;
  plain->m_eventTarget = camera;
  plain->CNikonObject::onEvent(kNkMAIDEvent_AddChild, 0);
  EXPECT_EQ(2u, camera->events.size());

  // Without an EventProc capability no procedure is registered.
  fake.find({kCamera})->caps.erase(kNkMAIDCapability_EventProc);
  camera->destroyChild(item);
  fake.find({kCamera})->children[kItem].caps.erase(kNkMAIDCapability_EventProc);
  item = camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem));
  EXPECT_EQ(nullptr, fake.find({kCamera, kItem})->eventProc.pProc);
  EXPECT_NE(nullptr, fake.find({kCamera, kItem})->dataProc.pProc);
}

TEST_F(SdkObjectTest, ChildrenAndDestructionOrder) {
  openTree();
  std::vector<maid::ULONG> ids;
  EXPECT_EQ(0, module->enumerateChildren(ids));
  EXPECT_EQ((std::vector<maid::ULONG>{kCamera}), ids);
  camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem));
  EXPECT_EQ(1u, module->m_children.size());
  EXPECT_EQ(1u, camera->m_children.size());
  EXPECT_EQ(3, fake.openObjects);

  // A refused open throws the result and leaves the parent's children alone.
  fake.find({kCamera})->children[kItem + 1].openResult = kNkMAIDResult_HardwareError;
  try {
    camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem + 1));
    FAIL();
  } catch (int result) {
    EXPECT_EQ(kNkMAIDResult_HardwareError, result);
  }
  EXPECT_EQ(1u, camera->m_children.size());

  module.reset();
  EXPECT_EQ((std::vector<maid::ULONG>{kItem, kCamera, 0}), fake.closeOrder);
  EXPECT_EQ(0, fake.openObjects);
}

TEST_F(SdkObjectTest, WritesReachTheCameraOnlyForListedCapabilitiesOfAnOpenObject) {
  openTree();
  cap(kNkMAIDCapability_BatteryLevel).value = 3;
  EXPECT_EQ(0, camera->setCapabilityValue(kNkMAIDCapability_BatteryLevel, kNkMAIDDataType_Unsigned, 9));
  maid::ULONG level = 0;
  EXPECT_EQ(0, camera->getUnsignedValue(kNkMAIDCapability_BatteryLevel, level));
  EXPECT_EQ(9u, level);

  const int setsBefore = fake.count(kNkMAIDCommand_CapSet);
  EXPECT_EQ(kCapabilityNotFound,
            camera->setCapabilityValue(kNkMAIDCapability_Firmware, kNkMAIDDataType_Unsigned, 1));
  maid::MaidEnum descriptor{};
  EXPECT_EQ(kCapabilityNotFound,
            camera->getArrayValue(kNkMAIDCapability_Firmware, kNkMAIDDataType_EnumPtr, &descriptor));
  EXPECT_EQ(setsBefore, fake.count(kNkMAIDCommand_CapSet));
  EXPECT_EQ(0, fake.count(kNkMAIDCommand_CapGetArray));

  // An array read fills the caller's buffer.
  std::vector<maid::ULONG> modes(3);
  descriptor.pData = modes.data();
  EXPECT_EQ(0, camera->getArrayValue(kNkMAIDCapability_ExposureMode, kNkMAIDDataType_EnumPtr, &descriptor));
  EXPECT_EQ((std::vector<maid::ULONG>{10, 20, 30}), modes);

  // A type that is not a number is no number: the value is left alone.
  level = 77;
  EXPECT_EQ(0, camera->getUnsignedValue(kNkMAIDCapability_Name, level));
  EXPECT_EQ(77u, level);

  // Once the SDK object is closed nothing is sent for it any more, and the object is closed
  // only once.
  fake.find({kCamera})->record = nullptr;  // the fake forgets it, as a module does on Close
  camera->markClosed();
  const std::size_t callsBefore = fake.calls.size();
  std::string name;
  bool alive = false;
  maid::ULONG current = 0;
  std::vector<maid::ULONG> values;
  std::vector<std::string> texts;
  int error = 0, unhandled = 0;
  EXPECT_EQ(-1, camera->setCapabilityValue(kNkMAIDCapability_BatteryLevel, kNkMAIDDataType_Unsigned, 1));
  EXPECT_EQ(-1, camera->getUnsignedValue(kNkMAIDCapability_BatteryLevel, level));
  EXPECT_EQ(-1, camera->getStringValue(kNkMAIDCapability_Name, name));
  EXPECT_EQ(-1, camera->getBoolValue(kNkMAIDCapability_IsAlive, alive));
  EXPECT_EQ(-1, camera->getArrayValue(kNkMAIDCapability_ExposureMode, kNkMAIDDataType_EnumPtr, &descriptor));
  EXPECT_EQ(-1, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, current, values));
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_Aperture, name, texts));
  EXPECT_EQ(-1, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(-1, camera->enumerateChildren(values));
  EXPECT_EQ(-1, camera->callAsync());
  for (maid::ULONG capId : {kNkMAIDCapability_IsAlive, kNkMAIDCapability_Aperture}) {
    error = 0;
    EXPECT_EQ(nullptr, camera->getCapabilityValue(capId, error, unhandled));
    EXPECT_EQ(-1, error);
  }
  EXPECT_EQ(callsBefore, fake.calls.size());
  module.reset();
  EXPECT_EQ((std::vector<maid::ULONG>{0}), fake.closeOrder);
}

TEST_F(SdkObjectTest, EveryCapabilityTypeBecomesItsMessageValue) {
  openTree();
  cap(kNkMAIDCapability_Firmware) = CFakeCapability::Unsigned(static_cast<maid::ULONG>(-3),
                                                              kNkMAIDCapType_Integer);
  camera->loadCapabilityInfo();
  int error = 0, unhandled = 0;
  std::unique_ptr<ZnLuaTE> value;
  auto read = [&](maid::ULONG capId) {
    value.reset(camera->getCapabilityValue(capId, error, unhandled));
    return value.get();
  };
  auto number = [&](maid::ULONG capId) { return read(capId) ? value->getNumber() : -99.0; };
  auto text = [&](maid::ULONG capId) { return read(capId) ? value->getString() : "<none>"; };
  EXPECT_EQ(1.0, number(kNkMAIDCapability_IsAlive));
  EXPECT_EQ(-3.0, number(kNkMAIDCapability_Firmware));
  EXPECT_EQ(-1.0, number(kNkMAIDCapability_BatteryLevel));  // 4294967295 read as signed
  EXPECT_EQ(30.0, number(kNkMAIDCapability_ExposureMode));
  EXPECT_EQ("D90", text(kNkMAIDCapability_Name));
  EXPECT_EQ("b", text(kNkMAIDCapability_ShutterSpeed));
  EXPECT_EQ("f/4", text(kNkMAIDCapability_Aperture));
  cap(kNkMAIDCapability_IsAlive).value = 0;
  EXPECT_EQ(0.0, number(kNkMAIDCapability_IsAlive));
  EXPECT_EQ(0, error);
  EXPECT_EQ(0, unhandled);

  // Not listed, and a command rather than a value: unhandled, with no value.
  EXPECT_EQ(nullptr, read(kNkMAIDCapability_FlexibleProgram));
  EXPECT_EQ(3, unhandled);
  EXPECT_EQ(nullptr, read(kNkMAIDCapability_Capture));
  EXPECT_EQ(2, unhandled);

  // Failures of each kind come back as the failing result, with no value.
  for (maid::ULONG capId : {kNkMAIDCapability_IsAlive, kNkMAIDCapability_Firmware,
                            kNkMAIDCapability_Aperture, kNkMAIDCapability_Name}) {
    cap(capId).getResult = kNkMAIDResult_HardwareError;
    error = 0;
    EXPECT_EQ(nullptr, read(capId));
    EXPECT_EQ(kNkMAIDResult_HardwareError, error);
    cap(capId).getResult = 0;
  }

  // An enumeration of a kind no reader knows is unhandled, not an error.
  cap(kNkMAIDCapability_ExposureMode).enumKind = kNkMAIDArrayType_Boolean;
  error = 0;
  EXPECT_EQ(nullptr, read(kNkMAIDCapability_ExposureMode));
  EXPECT_EQ(0, error);
  EXPECT_EQ(1, unhandled);
}

TEST_F(SdkObjectTest, StringEnumerationsOfEveryShape) {
  openTree();
  std::string current = "untouched";
  std::vector<std::string> values;
  // The last packed entry without its terminator still reads as a whole entry.
  CFakeCapability& packed = cap(kNkMAIDCapability_ShutterSpeed);
  packed.elements.pop_back();
  packed.elementCount = static_cast<maid::ULONG>(packed.elements.size());
  packed.current = 2;
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_ShutterSpeed, current, values));
  EXPECT_EQ("c", current);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), values);

  // Packed entries of another element size, and empty lists.
  packed.elementSize = 2;
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_ShutterSpeed, current, values));
  cap(kNkMAIDCapability_ShutterSpeed) = CFakeCapability::PackedEnum({}, 0);
  values.clear();
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_ShutterSpeed, current, values));
  EXPECT_EQ("", current);
  EXPECT_TRUE(values.empty());
  current = "untouched";
  cap(kNkMAIDCapability_Aperture) = CFakeCapability::FixedEnum({}, 0);
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_Aperture, current, values));
  EXPECT_EQ("", current);
  EXPECT_TRUE(values.empty());

  // A fixed entry that fills its whole slot ends at the slot.
  cap(kNkMAIDCapability_Aperture) = CFakeCapability::FixedEnum({"f/2", "x"}, 0);
  std::fill(cap(kNkMAIDCapability_Aperture).elements.begin() + 256,
            cap(kNkMAIDCapability_Aperture).elements.end(), 'w');
  EXPECT_EQ(0, camera->getStringEnumValue(kNkMAIDCapability_Aperture, current, values));
  EXPECT_EQ("f/2", current);
  ASSERT_EQ(2u, values.size());
  EXPECT_EQ(std::string(256, 'w'), values[1]);

  // Fixed entries of another size are a failure, so the setting is left out of the host's
  // table instead of shown empty; the capability reads as no value at all.
  cap(kNkMAIDCapability_Aperture).elementSize = 128;
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_Aperture, current, values));
  int error = 0, unhandled = 0;
  std::unique_ptr<ZnLuaTE> value(
      camera->getCapabilityValue(kNkMAIDCapability_Aperture, error, unhandled));
  EXPECT_FALSE(value);
  EXPECT_EQ(-1, error);

  // Numbers are no strings, and strings no numbers.
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_ExposureMode, current, values));
  EXPECT_EQ(-1, camera->getStringEnumValue(kNkMAIDCapability_Name, current, values));
  maid::ULONG number = 0;
  std::vector<maid::ULONG> numbers;
  cap(kNkMAIDCapability_ExposureMode).elementSize = 2;
  EXPECT_EQ(-1, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, number, numbers));
  cap(kNkMAIDCapability_ExposureMode).elementSize = 4;
  cap(kNkMAIDCapability_ExposureMode).enumKind = kNkMAIDArrayType_Integer;
  EXPECT_EQ(0, camera->getUnsignedEnumValue(kNkMAIDCapability_ExposureMode, number, numbers));
  EXPECT_EQ(30u, number);
}

TEST_F(SdkObjectTest, StartCapabilityEndsItsWaitForTheRightReasons) {
  openTree();
  CNikonObject::setTransferInactivityMs(3000);
  using Clock = std::chrono::steady_clock;
  // The completion's result reaches the receiver; a pending start is a started one.
  fake.completionResult = 7;
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(7, camera->lastResult);
  cap(kNkMAIDCapability_Capture).startResult = kNkMAIDResult_Pending;
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(2, camera->completions);
  cap(kNkMAIDCapability_Capture).startResult = 0;
  camera->completions = 0;
  const int asyncBefore = fake.count(kNkMAIDCommand_Async);

  // "Keep polling" (1) from Async is no reason to stop: the completion at the second poll
  // still counts.
  fake.completeOnAsync = false;
  fake.asyncResult = 1;
  fake.onAsync.push_back([this] { fake.onAsync.push_back([this] { fake.completeOnAsync = true; }); });
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(1, camera->completions);
  EXPECT_EQ(asyncBefore + 2, fake.count(kNkMAIDCommand_Async));

  // A failing Async ends the wait at once, and so does a refused start.
  fake.completeOnAsync = false;
  fake.asyncResult = kNkMAIDResult_HardwareError;
  auto start = Clock::now();
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
  fake.asyncResult = 0;
  cap(kNkMAIDCapability_Capture).startResult = kNkMAIDResult_DeviceBusy;
  start = Clock::now();
  EXPECT_EQ(kNkMAIDResult_DeviceBusy, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

  // A started command that never completes is waited for until the inactivity bound (the
  // tick count is coarser than the clock, hence the margin).
  cap(kNkMAIDCapability_Capture).startResult = 0;
  CNikonObject::setTransferInactivityMs(300);
  start = Clock::now();
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_EQ(1, camera->completions);
  // Late completions of the abandoned waits reach nobody.
  fake.completeOnAsync = true;
  camera->callAsync();
  EXPECT_EQ(1, camera->completions);
  ReleaseAbandonedCompletions();
}

TEST_F(SdkObjectTest, ChildIdsOfEveryElementSize) {
  openTree();
  CFakeCapability& children = fake.root.caps[kNkMAIDCapability_Children];
  children = CFakeCapability::UnsignedEnum({}, 0);
  std::vector<maid::ULONG> ids{99};
  EXPECT_EQ(0, module->enumerateChildren(ids));
  EXPECT_TRUE(ids.empty());

  // Wider elements: each id is the first four bytes of its element.
  children.elementSize = 8;
  children.elementCount = 3;
  for (maid::ULONG id : {7u, 0xFFu, 0x100u}) {
    const char* raw = reinterpret_cast<const char*>(&id);
    children.elements.insert(children.elements.end(), raw, raw + 4);
    children.elements.insert(children.elements.end(), 4, '\x55');
  }
  EXPECT_EQ(0, module->enumerateChildren(ids));
  EXPECT_EQ((std::vector<maid::ULONG>{7, 0xFF, 0x100}), ids);

  // An absurd count is not read, and not taken for an empty list.
  children.elementCount = 0x7FFFFFFF;
  EXPECT_NE(0, module->enumerateChildren(ids));
  EXPECT_TRUE(ids.empty());

  // Narrower elements cannot hold an id; a failed read and a missing list give no ids.
  children.elementSize = 2;
  EXPECT_EQ(-1, module->enumerateChildren(ids));
  EXPECT_TRUE(ids.empty());
  children.elementSize = 4;
  children.getResult = kNkMAIDResult_HardwareError;
  ids = {1};
  EXPECT_EQ(kNkMAIDResult_HardwareError, module->enumerateChildren(ids));
  EXPECT_TRUE(ids.empty());
  fake.root.caps.erase(kNkMAIDCapability_Children);
  module->loadCapabilityInfo();
  ids = {1};
  EXPECT_EQ(kCapabilityNotFound, module->enumerateChildren(ids));
  EXPECT_TRUE(ids.empty());
}

TEST_F(SdkObjectTest, ObjectReopenedUnderTheSameIdIsKeptAndClosedOnce) {
  openTree();
  CRecordingObject* first =
      camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem));
  fake.find({kCamera, kItem})->record = nullptr;
  CRecordingObject* second =
      camera->adoptChild(std::make_unique<CRecordingObject>(camera, kItem));
  ASSERT_NE(first, second);
  EXPECT_EQ(2u, camera->m_children.count(kItem));
  camera->destroyChild(first);
  ASSERT_EQ(1u, camera->m_children.count(kItem));
  EXPECT_EQ(second, camera->m_children.find(kItem)->second.get());
  module.reset();  // closes the second with the tree; ASan sees a leak or a double delete
  EXPECT_EQ((std::vector<maid::ULONG>{kItem, kCamera, 0}), fake.closeOrder);
}

TEST(MaidNamesTest, LookupsAndFallback) {
  EXPECT_EQ(16u, g_maidCommandNameCount);
  EXPECT_EQ(364u, g_maidCapabilityNameCount);
  EXPECT_EQ(47u, g_maidResultNameCount);
  EXPECT_EQ(9u, g_maidEventNameCount);
  EXPECT_STREQ("kNkMAIDResult_BufferSize", ResultName(-124));
  EXPECT_STREQ("kNkMAIDEvent_AddChild", EventName(0));
  EXPECT_STREQ("kNkMAIDCapability_MovieRecHiISO", CapabilityName(0x8306));
  EXPECT_STREQ("kNkMAIDCommand_ResetToDefault", CommandName(15));
  EXPECT_EQ(nullptr, CapabilityName(0));
  const char* first = ResultName(3);
  EXPECT_STREQ("<unknown value: 3>", first);
  const char* second = EventName(-2147483647 - 1);
  EXPECT_EQ(first, second);  // one shared buffer: the second miss overwrites the first
  EXPECT_STREQ("<unknown value: -2147483648>", second);
}

struct CCountingReceiver : CNikonCallbackReceiver {
  int completions = 0;
  void onCompletion(maid::ULONG, maid::NKERROR, maid::NKPARAM) override { ++completions; }
  maid::NKERROR onData(void*, void*) override { return 0; }
  void onEvent(maid::ULONG, maid::NKPARAM) override {}
};

// Under ASan, a record freed twice, a late completion that still reaches the waiter's stack,
// or one that reaches a freed record fails this test.
TEST(PendingCompletionTest, RecordIsSettledWhicheverWayTheStartEnds) {
  CCountingReceiver receiver;
  {
    CPendingCompletion done(&receiver);
    NikonCompletionProc(nullptr, 7, 0, 0, 0, done.record(), 0);
    EXPECT_TRUE(done.completed());
  }
  EXPECT_EQ(receiver.completions, 1);

  // Given up on (a refused start among them: a module may still complete it later), the
  // record stays callable and reaches nobody.
  CNikonCompletionRecord* late = nullptr;
  CNikonCompletionRecord* never = nullptr;
  {
    CPendingCompletion abandoned(&receiver);
    late = abandoned.record();
    CPendingCompletion refused(&receiver);
    never = refused.record();
  }
  NikonCompletionProc(nullptr, 7, 0, 0, 0, late, 0);  // comes after the wait gave up
  EXPECT_EQ(receiver.completions, 1);
  EXPECT_EQ(never->receiver, nullptr);
  EXPECT_EQ(never->counter, nullptr);
  ReleaseAbandonedCompletions();  // frees `never` once, and not `late` again
}

}  // namespace
