// The SDK object wrapper and the SDK names, against the scripted fake module.
#include <gtest/gtest.h>

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

TEST_F(SdkObjectTest, CapabilityValuesAsMessageValues) {
  openTree();
  int error = 0, unhandled = 0;
  std::unique_ptr<ZnLuaTE> value(camera->getCapabilityValue(kNkMAIDCapability_BatteryLevel, error, unhandled));
  ASSERT_TRUE(value);
  EXPECT_EQ(-1.0, value->getNumber());  // 4294967295 read as signed
  value.reset(camera->getCapabilityValue(kNkMAIDCapability_ShutterSpeed, error, unhandled));
  ASSERT_TRUE(value);
  EXPECT_EQ("b", value->getString());
  value.reset(camera->getCapabilityValue(kNkMAIDCapability_ExposureMode, error, unhandled));
  ASSERT_TRUE(value);
  EXPECT_EQ(30.0, value->getNumber());
  EXPECT_EQ(0, error);
  EXPECT_EQ(0, unhandled);

  value.reset(camera->getCapabilityValue(kNkMAIDCapability_Firmware, error, unhandled));
  EXPECT_FALSE(value);
  EXPECT_EQ(3, unhandled);
  value.reset(camera->getCapabilityValue(kNkMAIDCapability_Capture, error, unhandled));
  EXPECT_EQ(2, unhandled);
  cap(kNkMAIDCapability_Name).getResult = kNkMAIDResult_DeviceBusy;
  value.reset(camera->getCapabilityValue(kNkMAIDCapability_Name, error, unhandled));
  EXPECT_FALSE(value);
  EXPECT_EQ(kNkMAIDResult_DeviceBusy, error);
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

TEST_F(SdkObjectTest, StartCapabilityWaitsForCompletion) {
  openTree();
  fake.completionResult = 7;
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(1, camera->completions);
  EXPECT_EQ(7, camera->lastResult);

  // Pending counts as success.
  cap(kNkMAIDCapability_Capture).startResult = kNkMAIDResult_Pending;
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  EXPECT_EQ(2, camera->completions);

  // A module that never completes does not hold us forever, and its late completion reaches
  // neither the finished call's counter nor the receiver (ASan checks the record is freed once).
  fake.completeOnAsync = false;
  CNikonObject::setTransferInactivityMs(50);
  EXPECT_EQ(0, camera->startCapability(kNkMAIDCapability_Capture, camera));
  fake.completeOnAsync = true;
  camera->callAsync();
  EXPECT_EQ(2, camera->completions);

  // A refused start is returned at once.
  cap(kNkMAIDCapability_Capture).startResult = kNkMAIDResult_DeviceBusy;
  EXPECT_EQ(kNkMAIDResult_DeviceBusy, camera->startCapability(kNkMAIDCapability_Capture, camera));
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
