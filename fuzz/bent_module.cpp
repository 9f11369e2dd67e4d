#include "fuzz/bent_module.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <utility>

#include "fuzz/camera_module_script.h"
#include "platform/platform.h"

namespace bentmodule {

namespace {

using maid::MaidObject;
using maid::NKERROR;
using maid::NKPARAM;
using maid::NKREF;
using maid::ULONG;

struct SimModule {
  maid::EntryPoint entry = nullptr;
  int (*control)(const char*) = nullptr;
  unsigned (*callsAfterClose)() = nullptr;
};

enum class Kind { Module, Camera, Item, Data };

// What stands between the simulator's callbacks and the process's: the process's own
// procedure and reference, handed on (an event hook is the process's callback itself).
struct DataHook {
  maid::MaidCallback original;
  std::size_t file;  // index into Session::files
};
struct CompletionHook {
  maid::CompletionProc proc;
  NKREF ref;
};

struct Session {
  fuzzscript::CBytes answers;  // one byte per decision, zero once the input is used up
  bool calm = false;
  std::map<MaidObject*, Kind> open;
  std::map<ULONG, bool> twists;  // capability id: retyped (true) or left out
  std::deque<std::pair<ULONG, NKPARAM>> events;
  std::map<MaidObject*, maid::MaidCallback*> cameraEvents;
  // Hooks live for the whole session: the simulator may call one until the module closes.
  std::deque<maid::MaidCallback> eventHooks;
  std::deque<DataHook> dataHooks;
  std::deque<CompletionHook> completionHooks;
  std::deque<File> files;
};

std::map<std::string, SimModule> g_loaded;
const SimModule* g_sim = nullptr;
Session g;

// Results a module may give any call instead of its answer.
constexpr NKERROR kTroubles[] = {0,
                                 kNkMAIDResult_NotSupported,
                                 kNkMAIDResult_UnexpectedError,
                                 kNkMAIDResult_HardwareError,
                                 kNkMAIDResult_DeviceBusy,
                                 kNkMAIDResult_CameraNotFound,
                                 kNkMAIDResult_ValueOutOfBounds,
                                 kNkMAIDResult_BufferSize,
                                 kNkMAIDResult_Pending,
                                 kNkMAIDResult_ZombieObject,
                                 kNkMAIDResult_OutOfMemory,
                                 kNkMAIDResult_Aborted};
constexpr unsigned kTroubleCount = sizeof kTroubles / sizeof kTroubles[0];

// The furthest a recorded block may reach: a block past it is one no file can hold (the
// simulator's wrapping block), which the process must refuse, not write.
constexpr std::uint64_t kLongestFile = 64u << 20;

std::uint8_t Byte() { return g.calm ? 0 : g.answers.byte(); }
// A deviation from the simulator's answer: 0 for its own, else 1..count-1. Most byte values
// mean "its own", so random answers leave most calls alone and a session gets deep.
unsigned Pick(unsigned count) {
  const std::uint8_t b = Byte();
  return b >= 0xF0 ? 1 + (b - 0xF0) % (count - 1) : 0;
}

void Record(File& file, const maid::MaidDataInfo& block, const void* bytes) {
  const std::uint64_t end = std::uint64_t{block.ulStart} + block.ulLength;
  if (end > kLongestFile || !bytes) return;
  file.bytes.resize(std::max<std::uint64_t>(file.bytes.size(), end));
  file.given.resize(file.bytes.size());
  std::memcpy(file.bytes.data() + block.ulStart, bytes, block.ulLength);
  std::fill(file.given.begin() + block.ulStart, file.given.begin() + end, true);
  file.claimedTotals.insert(block.ulTotalLength);
}

void OnEvent(NKREF ref, ULONG event, NKPARAM data) {
  const maid::MaidCallback original = *static_cast<const maid::MaidCallback*>(ref);
  if (original.pProc)
    reinterpret_cast<maid::EventProc>(original.pProc)(original.refProc, event, data);
}

// A block on its way to the process: handed on, left out, given twice or claiming another
// total. What the process is handed is recorded as the file's.
NKERROR OnData(NKREF ref, void* info, void* bytes) {
  const DataHook hook = *static_cast<const DataHook*>(ref);
  maid::MaidDataInfo block = *static_cast<const maid::MaidDataInfo*>(info);
  auto handOn = [&] {
    Record(g.files[hook.file], block, bytes);
    return reinterpret_cast<maid::DataProc>(hook.original.pProc)(hook.original.refProc, &block,
                                                                 bytes);
  };
  const unsigned choice = Pick(4);
  if (choice == 1) return kNkMAIDResult_NoError;
  if (choice == 2) handOn();
  if (choice == 3) block.ulTotalLength = Byte() % 2 ? 0 : block.ulTotalLength + 1 + Byte();
  return handOn();
}

void OnCompletion(MaidObject* object, ULONG command, ULONG param, ULONG dataType, NKPARAM data,
                  NKREF ref, NKERROR result) {
  const CompletionHook hook = *static_cast<const CompletionHook*>(ref);
  const unsigned choice = Pick(4);
  if (choice == 2) result = kNkMAIDResult_HardwareError;
  hook.proc(object, command, param, dataType, data, hook.ref, result);
  if (choice == 1) hook.proc(object, command, param, dataType, data, hook.ref, result);
}

// A value the simulator gave, made into one no tidy module gives: out of range, unterminated,
// absurd. Never smaller than the simulator's where the caller sizes a buffer by it.
void BendValue(ULONG dataType, NKPARAM data) {
  if (!data) return;
  auto* e = reinterpret_cast<maid::MaidEnum*>(data);
  auto* range = reinterpret_cast<maid::MaidRange*>(data);
  auto* array = reinterpret_cast<maid::MaidArray*>(data);
  if (dataType == kNkMAIDDataType_BooleanPtr && Pick(3) == 1)
    *reinterpret_cast<unsigned char*>(data) ^= 1;
  if ((dataType == kNkMAIDDataType_IntegerPtr || dataType == kNkMAIDDataType_UnsignedPtr) &&
      Pick(5) == 1)
    *reinterpret_cast<ULONG*>(data) = 0xFFFFFFFFu - Byte();
  if (dataType == kNkMAIDDataType_StringPtr && Pick(4) == 1)
    std::memset(reinterpret_cast<char*>(data), 'A' + Byte() % 26, 256);
  if (dataType == kNkMAIDDataType_EnumPtr && Pick(4) == 1) e->ulValue = e->ulElements + Byte();
  const unsigned choice = dataType == kNkMAIDDataType_RangePtr   ? Pick(3)
                          : dataType == kNkMAIDDataType_ArrayPtr ? Pick(4)
                                                                 : 0;
  if (dataType == kNkMAIDDataType_RangePtr && choice == 1) range->lfUpper = -1;
  if (dataType == kNkMAIDDataType_RangePtr && choice == 2) range->lfValue = std::nan("");
  if (dataType == kNkMAIDDataType_ArrayPtr && choice == 1) array->ulElements = 0xFFFFFFFFu - Byte();
  if (dataType == kNkMAIDDataType_ArrayPtr && choice == 2) array->wPhysicalBytes = 0;
  if (dataType == kNkMAIDDataType_ArrayPtr && choice == 3)
    array->wPhysicalBytes = static_cast<std::uint16_t>(Byte() * 257u);
}

// The capability list as the twists have it; `room` entries, as many as the caller gave.
void BendCapabilities(maid::MaidCapInfo* info, ULONG room) {
  for (ULONG i = 0; i < room && i < 4096; ++i) {
    auto twist = g.twists.find(info[i].ulID);
    if (twist == g.twists.end()) continue;
    if (twist->second)
      info[i].ulType =
          info[i].ulType == kNkMAIDCapType_Enum ? kNkMAIDCapType_Range : kNkMAIDCapType_Enum;
    else
      info[i].ulID = 0xFFFF0000u | info[i].ulID;  // an id the process does not know
  }
  if (room > 0 && Pick(4) == 1) info[Byte() % room].ulType = Byte() % 16;
}

bool LeftOut(ULONG command, ULONG capabilityId) {
  // CapStart, CapSet, CapGet, CapGetDefault and CapGetArray: the calls about one capability.
  const bool aboutOne = command >= kNkMAIDCommand_CapStart && command <= kNkMAIDCommand_CapGetArray;
  auto twist = g.twists.find(capabilityId);
  return aboutOne && twist != g.twists.end() && !twist->second;
}

// The queued events, to the camera `object` is; false when the process closed it meanwhile.
bool DeliverEvents(MaidObject* object) {
  auto hook = g.cameraEvents.find(object);
  while (hook != g.cameraEvents.end() && !g.events.empty()) {
    const auto event = g.events.front();
    g.events.pop_front();
    OnEvent(hook->second, event.first, event.second);
    hook = g.cameraEvents.find(object);
  }
  return g.open.count(object) != 0;
}

NKERROR Open(MaidObject* parent, ULONG id, NKPARAM data) {
  if (const unsigned trouble = Pick(kTroubleCount)) return kTroubles[trouble];
  const NKERROR result = g_sim->entry(parent, kNkMAIDCommand_Open, id, 0, data, nullptr, nullptr);
  if (result != kNkMAIDResult_NoError || !data) return result;
  // The kind after its parent's (a module's camera, a camera's item), else data.
  const auto up = g.open.find(parent);
  const bool childKind = up != g.open.end() && up->second != Kind::Item && up->second != Kind::Data;
  g.open[reinterpret_cast<MaidObject*>(data)] =
      !parent     ? Kind::Module
      : childKind ? static_cast<Kind>(static_cast<int>(up->second) + 1)
                  : Kind::Data;
  return result;
}

}  // namespace

bool Start(const std::string& path, const std::uint8_t* answers, std::size_t size) {
  auto loaded = g_loaded.find(path);
  if (loaded == g_loaded.end()) {
    void* library = platform::loadModule(path);
    if (!library) return false;
    const auto symbol = [library](const char* name) { return platform::findSymbol(library, name); };
    const SimModule sim{reinterpret_cast<maid::EntryPoint>(symbol(maid::kEntryPointName)),
                        reinterpret_cast<int (*)(const char*)>(symbol("LbSimControl")),
                        reinterpret_cast<unsigned (*)()>(symbol("LbSimCallsAfterClose"))};
    if (!sim.entry || !sim.control || !sim.callsAfterClose) return false;
    loaded = g_loaded.emplace(path, sim).first;
  }
  g_sim = &loaded->second;
  g = Session{};
  g.answers = fuzzscript::CBytes(answers, size);
  Control("reset");
  return true;
}

void Calm() {
  g.calm = true;
  g.twists.clear();
}

int Control(const std::string& line) { return g_sim->control(line.c_str()); }
void Twist(ULONG capabilityId, bool retype) { g.twists[capabilityId] = retype; }
void QueueEvent(ULONG event, NKPARAM data) { g.events.emplace_back(event, data); }

NKERROR EntryPoint(MaidObject* object, ULONG command, ULONG param, ULONG dataType, NKPARAM data,
                   maid::CompletionProc proc, NKREF ref) {
  if (command == kNkMAIDCommand_Open) return Open(object, param, data);
  auto known = g.open.find(object);
  // Calls with records the process does not hold go to the simulator, which counts them.
  if (known == g.open.end() || command == kNkMAIDCommand_Close) {
    const NKERROR result = g_sim->entry(object, command, param, dataType, data, proc, ref);
    if (command == kNkMAIDCommand_Close && known != g.open.end()) {
      g.open.erase(object);
      g.cameraEvents.erase(object);
    }
    return result;
  }
  const Kind kind = known->second;
  if (kind == Kind::Camera && !DeliverEvents(object)) return kNkMAIDResult_ZombieObject;
  if (const unsigned trouble = Pick(kTroubleCount)) {
    // A start that answers "pending" owes a completion; one that fails owes none.
    const bool pendingStart =
        command == kNkMAIDCommand_CapStart && kTroubles[trouble] == kNkMAIDResult_Pending;
    return pendingStart ? kNkMAIDResult_HardwareError : kTroubles[trouble];
  }
  if (LeftOut(command, param)) return kNkMAIDResult_NotSupported;

  if (command == kNkMAIDCommand_CapSet && dataType == kNkMAIDDataType_CallbackPtr && data &&
      (param == kNkMAIDCapability_EventProc || param == kNkMAIDCapability_DataProc)) {
    const maid::MaidCallback original = *reinterpret_cast<const maid::MaidCallback*>(data);
    maid::MaidCallback hooked{};
    if (param == kNkMAIDCapability_EventProc) {
      g.eventHooks.push_back(original);
      hooked = {reinterpret_cast<void*>(&OnEvent), &g.eventHooks.back()};
    } else if (original.pProc) {
      g.files.emplace_back();
      g.dataHooks.push_back({original, g.files.size() - 1});
      hooked = {reinterpret_cast<void*>(&OnData), &g.dataHooks.back()};
    }
    const NKERROR result = g_sim->entry(object, command, param, dataType,
                                        reinterpret_cast<NKPARAM>(&hooked), proc, ref);
    if (result == kNkMAIDResult_NoError && param == kNkMAIDCapability_EventProc &&
        kind == Kind::Camera)
      g.cameraEvents[object] = &g.eventHooks.back();
    return result;
  }
  if (command == kNkMAIDCommand_CapStart && proc) {
    g.completionHooks.push_back({proc, ref});
    proc = &OnCompletion;
    ref = &g.completionHooks.back();
  }
  NKERROR result = g_sim->entry(object, command, param, dataType, data, proc, ref);
  if (result != kNkMAIDResult_NoError) return result;
  if (command == kNkMAIDCommand_GetCapCount && data && Pick(4) == 1)
    *reinterpret_cast<ULONG*>(data) += Byte() % 4;
  if (command == kNkMAIDCommand_GetCapInfo && data)
    BendCapabilities(reinterpret_cast<maid::MaidCapInfo*>(data), param);
  if (command == kNkMAIDCommand_CapGet) BendValue(dataType, data);
  return result;
}

const std::deque<File>& Files() { return g.files; }
unsigned CallsAfterClose() { return g_sim->callsAfterClose(); }
std::size_t OpenRecords() { return g.open.size(); }
bool ModuleOpen() {
  return std::any_of(g.open.begin(), g.open.end(),
                     [](const auto& record) { return record.second == Kind::Module; });
}

}  // namespace bentmodule
