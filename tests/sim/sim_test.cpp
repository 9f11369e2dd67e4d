// The simulated module as every camera test relies on it, seen from a caller of its own: its
// declarations of the module interface agree with the camera layer's, it calls back only inside
// the caller's calls, its scenarios and control lines are read strictly, its block plans keep
// their promises, and each habit whose loss the camera-layer tests would not see (they pass on
// the tidy path too) shows in the call where a real module shows it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera/maid/maid.h"
#include "platform/platform.h"
#include "sim/sim_blocks.h"
#include "sim/sim_scenario.h"
#include "sim/sim_sdk.h"
#include "tests/test_support.h"

namespace {

constexpr maid::ULONG kNoCall = 0xFFFFFFFFu;  // delivered while none of our calls ran

struct SeenEvent {
  bool fromModule;  // the module object's event, else the camera's
  maid::ULONG event, insideCall;
};
struct SeenCompletion {
  maid::NKERROR result;
  maid::ULONG insideCall;
  std::size_t eventsBefore;  // how many events came before it
};

template <class T>
maid::NKPARAM Ptr(T* p) {
  return reinterpret_cast<maid::NKPARAM>(p);
}

// A caller of one simulated module (the library built as "Type0001.md3" ...) as the camera
// layer calls it: it records which event and completion came inside which of its calls. One
// test thread; the module calls back on it, inside its calls.
class CSimCaller {
 public:
  CSimCaller(const char* moduleFile, const std::string& scenario) {
    void* library = platform::loadModule(platform::executableDirectory() + moduleFile);
    if (!library) return;
    m_entry =
        reinterpret_cast<maid::EntryPoint>(platform::findSymbol(library, maid::kEntryPointName));
    m_control =
        reinterpret_cast<int (*)(const char*)>(platform::findSymbol(library, "LbSimControl"));
    if (!m_entry || !m_control) return;
    m_scenarioPath = platform::temporaryDirectory() + "lbsim-caller-" + std::to_string(getpid()) +
                     "-" + CurrentTestName() + ".txt";
    std::ofstream(m_scenarioPath, std::ios::binary) << scenario;
    setenv("LBSIM_SCENARIO", m_scenarioPath.c_str(), 1);
    unsetenv("LBSIM_CONTROL");
    m_control("reset");
    m_moduleOpen =
        !call(nullptr, kNkMAIDCommand_Open, 0, kNkMAIDDataType_ObjectPtr, Ptr(&m_module));
    if (m_moduleOpen) setEventProc(&m_module, &OnEvent<true>);
  }
  ~CSimCaller() {
    if (m_camera) call(m_camera.get(), kNkMAIDCommand_Close);
    if (m_moduleOpen) call(&m_module, kNkMAIDCommand_Close);
    if (m_control) {  // the next test's scenario is its own
      unsetenv("LBSIM_SCENARIO");
      m_control("reset");
    }
    std::remove(m_scenarioPath.c_str());
  }
  CSimCaller(const CSimCaller&) = delete;
  CSimCaller& operator=(const CSimCaller&) = delete;

  bool ready() const { return m_entry && m_control && m_moduleOpen; }
  int control(const std::string& line) { return m_control(line.c_str()); }

  // One SDK call, recorded as the call in progress while it runs.
  maid::NKERROR call(maid::MaidObject* object, maid::ULONG command, maid::ULONG param = 0,
                     maid::ULONG dataType = 0, maid::NKPARAM data = 0,
                     maid::CompletionProc proc = nullptr, maid::NKREF ref = nullptr) {
    m_calls.push_back(command);
    const maid::NKERROR result = m_entry(object, command, param, dataType, data, proc, ref);
    m_calls.pop_back();
    return result;
  }
  maid::NKERROR get(maid::ULONG cap, maid::ULONG type, void* data) {
    return call(camera(), kNkMAIDCommand_CapGet, cap, type, Ptr(data));
  }
  maid::NKERROR setUnsigned(maid::ULONG cap, maid::ULONG value) {
    return call(camera(), kNkMAIDCommand_CapSet, cap, kNkMAIDDataType_Unsigned, value);
  }
  maid::NKERROR startCapture() {
    return call(
        camera(), kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0,
        [](maid::MaidObject*, maid::ULONG, maid::ULONG, maid::ULONG, maid::NKPARAM, maid::NKREF ref,
           maid::NKERROR result) {
          auto* self = static_cast<CSimCaller*>(ref);
          self->completions.push_back({result, self->currentCall(), self->events.size()});
        },
        this);
  }
  maid::NKERROR poll(maid::MaidObject* object = nullptr) {  // Async, on the camera by default
    return call(object ? object : camera(), kNkMAIDCommand_Async);
  }
  // Polls the camera until `done` holds or 20 s have passed: a shot's JPEG is made on a thread
  // of its own, and its shot follows in the polls after.
  template <typename Done>
  bool pollUntil(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      poll();
      std::this_thread::yield();
    }
    return done();
  }

  maid::MaidObject* module() { return &m_module; }
  maid::MaidObject* camera() { return m_camera.get(); }
  maid::NKERROR closeModule() {
    m_moduleOpen = false;
    return call(&m_module, kNkMAIDCommand_Close);
  }
  maid::MaidObject* openCamera(maid::ULONG id) {
    auto camera = std::make_unique<maid::MaidObject>();
    if (call(&m_module, kNkMAIDCommand_Open, id, kNkMAIDDataType_ObjectPtr, Ptr(camera.get())))
      return nullptr;
    setEventProc(camera.get(), &OnEvent<false>);
    m_camera = std::move(camera);
    return m_camera.get();
  }
  std::vector<maid::ULONG> children(maid::MaidObject* object) {
    maid::MaidEnum list{};
    std::vector<maid::ULONG> ids;
    const auto read = [&](maid::ULONG command) {
      return call(object, command, kNkMAIDCapability_Children, kNkMAIDDataType_EnumPtr, Ptr(&list));
    };
    if (read(kNkMAIDCommand_CapGet)) return ids;
    ids.resize(list.ulElements);
    list.pData = ids.data();
    if (read(kNkMAIDCommand_CapGetArray)) ids.clear();
    return ids;
  }

  std::vector<SeenEvent> events;
  std::vector<SeenCompletion> completions;

 private:
  void setEventProc(maid::MaidObject* object, maid::EventProc proc) {
    maid::MaidCallback callback{reinterpret_cast<void*>(proc), this};
    call(object, kNkMAIDCommand_CapSet, kNkMAIDCapability_EventProc, kNkMAIDDataType_CallbackPtr,
         Ptr(&callback));
  }
  template <bool fromModule>
  static void OnEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM) {
    auto* self = static_cast<CSimCaller*>(ref);
    self->events.push_back({fromModule, event, self->currentCall()});
  }
  maid::ULONG currentCall() const { return m_calls.empty() ? kNoCall : m_calls.back(); }

  maid::EntryPoint m_entry = nullptr;
  int (*m_control)(const char*) = nullptr;
  std::string m_scenarioPath;
  maid::MaidObject m_module{};
  bool m_moduleOpen = false;
  std::unique_ptr<maid::MaidObject> m_camera;
  std::vector<maid::ULONG> m_calls;  // the calls in progress, innermost last
};

namespace sim = lbsim::sdk;

// A name's value, or a record's size or field offset, as the caller and as the simulator see
// it: the two declarations are written apart on purpose and must agree, or one side is wrong.
// The caller hands the module its own records to fill (a range, an enum, an array): a module
// that writes a larger one would write past the caller's.
struct Same {
  const char* name;
  long long ours, sims;
};
#define N(name) \
  Same { #name, ::kNkMAID##name, sim::kNkMAID##name }
#define S(type) \
  Same { #type, sizeof(maid::type), sizeof(sim::type) }
#define F(record, field)                                                                         \
  Same{#record "::" #field, offsetof(maid::record, field), offsetof(sim::record, field)}, Same { \
#record "::" #field " size", sizeof(maid::record::field), sizeof(sim::record::field)         \
  }

TEST(SimInterface, NumbersAndRecordLayoutsAgreeWithTheCameraLayer) {
  const std::vector<Same> pairs[] = {
      {N(Command_Async), N(Command_Open), N(Command_Close), N(Command_GetCapCount),
       N(Command_GetCapInfo), N(Command_CapStart), N(Command_CapSet), N(Command_CapGet),
       N(Command_CapGetDefault), N(Command_CapGetArray)},
      {N(DataType_Null), N(DataType_Unsigned), N(DataType_BooleanPtr), N(DataType_IntegerPtr),
       N(DataType_UnsignedPtr), N(DataType_StringPtr), N(DataType_CallbackPtr),
       N(DataType_RangePtr), N(DataType_ArrayPtr), N(DataType_EnumPtr), N(DataType_ObjectPtr),
       N(DataType_CapInfoPtr)},
      {N(CapType_Process), N(CapType_Boolean), N(CapType_Integer), N(CapType_Unsigned),
       N(CapType_String), N(CapType_Enum), N(CapType_Range), N(CapType_Array)},
      {N(ArrayType_Integer), N(ArrayType_Unsigned), N(ArrayType_PackedString), N(ArrayType_String)},
      {N(CapOperation_Start), N(CapOperation_Get), N(CapOperation_Set), N(CapOperation_GetArray)},
      {N(Capability_EventProc), N(Capability_DataProc), N(Capability_IsAlive),
       N(Capability_Children), N(Capability_Name), N(Capability_DataTypes),
       N(Capability_StoredBytes), N(Capability_Capture), N(Capability_Acquire),
       N(Capability_Firmware)},
      {N(Capability_BatteryLevel), N(Capability_ExposureMode), N(Capability_ShutterSpeed),
       N(Capability_Aperture), N(Capability_Sensitivity), N(Capability_WBMode),
       N(Capability_FocusMode), N(Capability_IsoControl), N(Capability_RawJpegImageStatus),
       N(Capability_CameraType)},
      {N(Capability_LiveViewStatus), N(Capability_ContrastAF), N(Capability_GetLiveViewImage),
       N(Capability_MFDriveStep), N(Capability_MFDrive), N(Capability_SaveMedia),
       N(Capability_AutoIsoSensitivity)},
      {N(Result_NotSupported), N(Result_UnexpectedDataType), N(Result_ValueOutOfBounds),
       N(Result_BufferSize), N(Result_Aborted), N(Result_NoDataProc), N(Result_ZombieObject),
       N(Result_UnexpectedError), N(Result_HardwareError), N(Result_NoError), N(Result_Pending),
       N(Result_CameraNotFound), N(Result_OutOfFocus), N(Result_DeviceBusy), N(Result_NotLiveView)},
      {N(Event_AddChild), N(Event_RemoveChild), N(Event_CapChange), N(Event_CapChangeValueOnly)},
      {N(DataObjType_File), N(DataObjType_Image)},
      {N(FileDataType_JPEG), N(FileDataType_TIFF), N(FileDataType_NIF), N(FileDataType_NDF)},
      {S(ULONG), S(NKERROR), S(NKPARAM), S(MaidObject), S(MaidCapInfo), S(MaidEnum), S(MaidArray),
       S(MaidRange), S(MaidDataInfo), S(MaidCallback)},
      {F(MaidObject, ulType), F(MaidObject, ulID), F(MaidObject, refClient),
       F(MaidObject, refModule)},
      {F(MaidCapInfo, ulID), F(MaidCapInfo, ulType), F(MaidCapInfo, ulVisibility),
       F(MaidCapInfo, ulOperations), F(MaidCapInfo, szDescription)},
      {F(MaidEnum, ulType), F(MaidEnum, ulElements), F(MaidEnum, ulValue), F(MaidEnum, ulDefault),
       F(MaidEnum, wPhysicalBytes), F(MaidEnum, pData)},
      {F(MaidArray, ulType), F(MaidArray, ulElements), F(MaidArray, ulDimSize1),
       F(MaidArray, ulDimSize2), F(MaidArray, ulDimSize3), F(MaidArray, wPhysicalBytes),
       F(MaidArray, wLogicalBits), F(MaidArray, pData)},
      {F(MaidRange, lfValue), F(MaidRange, lfDefault), F(MaidRange, lfLower),
       F(MaidRange, lfUpper)},
      {F(MaidDataInfo, ulType), F(MaidDataInfo, ulFileDataType), F(MaidDataInfo, ulTotalLength),
       F(MaidDataInfo, ulStart), F(MaidDataInfo, ulLength)},
      {F(MaidCallback, pProc), F(MaidCallback, refProc)},
  };
  for (const auto& group : pairs)
    for (const Same& p : group) EXPECT_EQ(p.ours, p.sims) << p.name;
  EXPECT_STREQ(maid::kEntryPointName, sim::kEntryPointName);
}

TEST(SimContract, EventsWaitForTheCallersAsyncAndACallAfterCloseIsLogged) {
  const std::string log =
      platform::temporaryDirectory() + "lbsim-caller-faults-" + std::to_string(getpid()) + ".log";
  std::remove(log.c_str());
  setenv("LBSIM_CALLER_FAULTS_LOG", log.c_str(), 1);
  {
    CSimCaller sim("Type0001.md3", "camera 1\n");
    ASSERT_TRUE(sim.ready());
    sim.poll(sim.module());
    sim.events.clear();
    // Plugging a camera in from another thread queues the event; nothing is called back then.
    std::thread([&sim] { sim.control("plug 7"); }).join();
    EXPECT_TRUE(sim.events.empty());
    ASSERT_EQ(sim.poll(sim.module()), 0);
    ASSERT_EQ(sim.events.size(), 1u);
    EXPECT_EQ(sim.events[0].event, static_cast<maid::ULONG>(kNkMAIDEvent_AddChild));
    EXPECT_EQ(sim.events[0].insideCall, static_cast<maid::ULONG>(kNkMAIDCommand_Async));
    // A closed module delivers nothing more, and a call with its record is the caller's fault:
    // a test in another process (the chaos run) reads it in the log the variable names.
    sim.control("unplug 7");
    ASSERT_EQ(sim.closeModule(), 0);
    EXPECT_EQ(sim.events.size(), 1u);
    sim.poll(sim.module());
  }
  unsetenv("LBSIM_CALLER_FAULTS_LOG");
  std::ifstream file(log, std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  std::remove(log.c_str());
  EXPECT_EQ(text,
            "Type0001 " + std::to_string(static_cast<unsigned long>(kNkMAIDCommand_Async)) + "\n");
}

// Camera 1 on Type0001 with `keys` on its scenario line, opened and saving to the computer.
std::unique_ptr<CSimCaller> CameraWith(const std::string& keys) {
  auto sim = std::make_unique<CSimCaller>("Type0001.md3", "camera 1 " + keys + "\n");
  if (!sim->ready() || !sim->openCamera(1)) return nullptr;
  if (sim->setUnsigned(kNkMAIDCapability_SaveMedia, 1) != 0) return nullptr;
  return sim;
}

// The call each item was announced inside, in order.
std::vector<maid::ULONG> AnnouncedIn(const std::vector<SeenEvent>& events) {
  std::vector<maid::ULONG> calls;
  for (const auto& e : events)
    if (!e.fromModule && e.event == kNkMAIDEvent_AddChild) calls.push_back(e.insideCall);
  return calls;
}

// One release and nine polls: what CapStart answers, how many polls answer busy, where the
// completion comes with its result, and where the items are announced before and after it. The
// first case is the tidy module's way. (A release refused at once, with no completion, is seen
// by the camera-layer habit tests; a late refusal's completion is not.)
TEST(SimHabits, CaptureHabitsAnswerCompleteAndAnnounceInTheirOwnCalls) {
  constexpr maid::ULONG kAsync = kNkMAIDCommand_Async, kStart = kNkMAIDCommand_CapStart;
  using Calls = std::vector<maid::ULONG>;
  const struct {
    const char* keys;
    maid::NKERROR started;
    int busyPolls;
    maid::ULONG completesIn;
    maid::NKERROR result;
    Calls itemsBefore, itemsAfter;
  } cases[] = {
      {"", kNkMAIDResult_Pending, 0, kAsync, 0, {kAsync}, {}},
      {"habits=sync-complete", kNkMAIDResult_NoError, 0, kStart, 0, {kStart}, {}},
      {"habits=async-busy", kNkMAIDResult_Pending, 3, kAsync, 0, {kAsync}, {}},
      {"habits=late-items", kNkMAIDResult_Pending, 0, kAsync, 0, {}, {kAsync}},
      {"habits=refused-start-late", 131, 0, kAsync, 131, {}, {}},  // media full
      {"habits=out-of-focus", kNkMAIDResult_Pending, 0, kAsync, kNkMAIDResult_OutOfFocus, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    auto cam = CameraWith(c.keys);
    ASSERT_TRUE(cam);
    EXPECT_EQ(cam->startCapture(), c.started);
    EXPECT_EQ(cam->completions.size(), c.completesIn == kStart ? 1u : 0u) << "before a poll";
    int busy = 0;
    for (int i = 0; i < 9; ++i) busy += cam->poll() == kNkMAIDResult_Pending;
    EXPECT_EQ(busy, c.busyPolls);
    const std::size_t items = c.itemsBefore.size() + c.itemsAfter.size();
    ASSERT_TRUE(cam->pollUntil(
        [&] { return cam->completions.size() == 1 && AnnouncedIn(cam->events).size() == items; }));
    const SeenCompletion& done = cam->completions[0];
    EXPECT_EQ(done.insideCall, c.completesIn);
    EXPECT_EQ(done.result, c.result);
    const auto split = cam->events.begin() + done.eventsBefore;
    EXPECT_EQ(AnnouncedIn({cam->events.begin(), split}), c.itemsBefore);
    EXPECT_EQ(AnnouncedIn({split, cam->events.end()}), c.itemsAfter);
  }
}

// One live-view frame through CapGet and CapGetArray, into a buffer of element size times count.
maid::NKERROR FetchFrame(CSimCaller& cam, maid::MaidArray& array,
                         std::vector<unsigned char>& bytes) {
  array = maid::MaidArray{};
  const maid::NKERROR result =
      cam.get(kNkMAIDCapability_GetLiveViewImage, kNkMAIDDataType_ArrayPtr, &array);
  if (result != 0) return result;
  bytes.assign(std::size_t{array.ulElements} * array.wPhysicalBytes, 0);
  array.pData = bytes.data();
  return cam.call(cam.camera(), kNkMAIDCommand_CapGetArray, kNkMAIDCapability_GetLiveViewImage,
                  kNkMAIDDataType_ArrayPtr, Ptr(&array));
}

// Switched on, live view answers its status and its frames busy for three reads in all; then
// the frames come in 2- and 4-byte elements by turns.
TEST(SimHabits, LvElementsAndLvBusyShapeTheFramesAndReads) {
  auto cam = CameraWith("habits=lv-elements,lv-busy");
  ASSERT_TRUE(cam);
  ASSERT_EQ(cam->setUnsigned(kNkMAIDCapability_LiveViewStatus, 1), 0);
  maid::ULONG status = 0;
  EXPECT_EQ(cam->get(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_UnsignedPtr, &status),
            kNkMAIDResult_DeviceBusy);
  maid::MaidArray array;
  std::vector<unsigned char> bytes;
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  EXPECT_EQ(FetchFrame(*cam, array, bytes), kNkMAIDResult_DeviceBusy);
  for (int size : {2, 4}) {
    ASSERT_EQ(FetchFrame(*cam, array, bytes), 0);
    EXPECT_EQ(array.wPhysicalBytes, size);
    EXPECT_EQ(array.wLogicalBits, 8 * size);
  }
  EXPECT_EQ(cam->get(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_UnsignedPtr, &status), 0);
  EXPECT_EQ(status, 1u);
}

TEST(SimScenario, ModuleLinesPutCamerasOnOneModuleOnlyAndBadControlLinesAreRefused) {
  const std::string scenario =
      "camera 1\nmodule Type0023\ncamera 5\nat 0 plug 6\nmodule any\ncamera 2\n";
  {
    CSimCaller type1("Type0001.md3", scenario);
    ASSERT_TRUE(type1.ready());
    type1.control("plug 5");  // placed on the other module: never made here
    type1.poll(type1.module());
    EXPECT_EQ(type1.children(type1.module()), (std::vector<maid::ULONG>{1, 2}));
  }
  CSimCaller type23("Type0023.md3", scenario);
  ASSERT_TRUE(type23.ready());
  type23.poll(type23.module());
  EXPECT_EQ(type23.children(type23.module()), (std::vector<maid::ULONG>{1, 2, 5, 6}));
  // A control line the module does not understand is refused, not taken for something else.
  for (const char* bad :
       {"habit no-such-habit on", "habit sync-complete maybe", "habit sync-complete on 9", "rate 0",
        "shoot 9", "exposure-ms", "exposure-ms 14400001", "exposure-ms 1e3", "exposure-ms 10 9",
        "release-latency-ms 10001", "dial focus 1", "dial aperture 8", "dial aperture f/8",
        "dial iso 1 9"})
    EXPECT_EQ(type23.control(bad), -1) << bad;
}

TEST(SimScenario, BadStatementsNameTheirLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"camera 1\ncamera 2 habits=sync-complete,no-such\n",
       "scenario line 2: unknown habit \"no-such\""},
      {"module Type23\n", "scenario line 1: expected \"module TypeNNNN\" or \"module any\""},
      {"camera 1 rate=0\n", "scenario line 1: unknown key or value out of range: \"rate=0\""},
      {"camera 1 exposure-ms=14400001\n",
       "scenario line 1: unknown key or value out of range: \"exposure-ms=14400001\""},
  };
  for (const auto& [text, message] : cases) {
    lbsim::Scenario scenario;
    std::string error;
    EXPECT_FALSE(lbsim::ParseScenario(text, scenario, error)) << text;
    EXPECT_EQ(error, message);
  }
  lbsim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(lbsim::ParseScenario(
      "camera 3 type=44 habits=ragged-blocks,slow-link rate=12 exposure-ms=14400000 "
      "release-latency-ms=10000 photo-width=32 name=Z 9\n",
      scenario, error))
      << error;
  ASSERT_EQ(scenario.cameras.size(), 1u);
  EXPECT_TRUE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SlowLink));
  EXPECT_FALSE(lbsim::Has(scenario.cameras[0].habits, lbsim::Habit::SyncComplete));
  EXPECT_EQ(scenario.cameras[0].rateMBps, 12u);
  EXPECT_EQ(scenario.cameras[0].exposureMs, 14400000u);
  EXPECT_EQ(scenario.cameras[0].releaseLatencyMs, 10000u);
  EXPECT_EQ(scenario.cameras[0].type, 44u);
  EXPECT_EQ(scenario.cameras[0].photoWidth, 32u);
  EXPECT_EQ(scenario.cameras[0].name, "Z 9");
}

TEST(SimBlocks, RaggedPlansCoverTheFileOnceOutOfOrderAndTidyOnesInMegabytes) {
  for (std::uint32_t total : {1u, 2u, 3u, 17u, 4096u, (1u << 20) + 1, (5u << 20) + 3, 13u << 20}) {
    for (std::uint64_t seed = 0; seed < 200; ++seed) {
      const auto blocks = lbsim::PlanBlocks(total, true, seed * 0x9E3779B97F4A7C15ull);
      SCOPED_TRACE("total " + std::to_string(total) + " seed " + std::to_string(seed));
      auto sorted = blocks;
      std::sort(sorted.begin(), sorted.end(),
                [](const auto& a, const auto& b) { return a.offset < b.offset; });
      std::uint64_t next = 0;  // each byte once: no gap, no overlap
      for (const lbsim::Block& b : sorted) {
        ASSERT_EQ(b.offset, next);
        ASSERT_GE(b.length, 1u);
        ASSERT_LE(b.length, lbsim::kLargestRaggedBlock);
        next += b.length;
      }
      ASSERT_EQ(next, total);
      if (blocks.size() > 1) {
        ASSERT_NE(blocks.back().offset + blocks.back().length, total);
        ASSERT_NE(blocks.front().offset, 0u);
      }
    }
  }
  const auto tidy = lbsim::PlanBlocks((3u << 20) + 5, false, 7);
  ASSERT_EQ(tidy.size(), 4u);
  for (std::size_t i = 0; i < tidy.size(); ++i) EXPECT_EQ(tidy[i].offset, i << 20);
  EXPECT_EQ(tidy.back().length, 5u);
  EXPECT_TRUE(lbsim::PlanBlocks(0, true, 1).empty());
}

}  // namespace
