// The simulated camera module: a MAIDEntryPoint that behaves, as far as the camera layer can
// tell, like a real module with cameras plugged in.
//
// Object tree: module -> cameras (ids from the scenario) -> capture items (ids 1, 2, ... per
// camera) -> data object 1 of each item. Every object answers its capability list and typed
// reads and writes; cameras capture, stream live view, drive focus and raise events.
//
// Like a real module, the simulator never calls back on its own: events, data blocks and
// completions wait in a queue and are delivered inside the caller's next kNkMAIDCommand_Async,
// on the caller's thread (some habits deliver inside other calls too, as real modules do; see
// sim_habits.h). A job may call back into the caller, which may call us again from inside the
// callback (it opens a new item inside the item's announcement), so the entry point is
// reentrant.
//
// Control, for tests and the demo: LbSimControl(line) in the same process, or lines appended
// to the file named by LBSIM_CONTROL, read at every Async (sim_control.h).
// LBSIM_FAULT_IN_MODULE_OPEN=1 makes the module's own open fault.
//
// Threads: every call is serialised by one recursive mutex; callbacks run with it held, on the
// calling thread.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_capabilities.h"
#include "sim/sim_capture.h"
#include "sim/sim_control.h"
#include "sim/sim_plugging.h"
#include "sim/sim_state.h"

#ifdef _WIN32
#define LBSIM_EXPORT extern "C" __declspec(dllexport)
#else
#define LBSIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#ifndef LBSIM_MODULE_TYPE
#define LBSIM_MODULE_TYPE "Type0001"
#endif

namespace lbsim {

const char* ModuleType() { return LBSIM_MODULE_TYPE; }

namespace {

NKERROR Open(MaidObject* parent, ULONG id, NKPARAM data) {
  Simulator& sim = Sim();
  auto* record = reinterpret_cast<MaidObject*>(data);
  if (!record) return kNkMAIDResult_UnexpectedDataType;
  Node node;
  if (!parent) {
    if (sim.faults.moduleOpenRefused) return kNkMAIDResult_HardwareError;
    // A module that faults while it starts, as a broken driver install may: the process's
    // crash reporter must already be in place to record it.
    if (const char* fault = std::getenv("LBSIM_FAULT_IN_MODULE_OPEN")) {
      if (std::strcmp(fault, "1") == 0) *static_cast<volatile int*>(nullptr) = 0;
    }
    node.kind = Kind::Module;
    sim.openedAtMs = NowMs();
    sim.controlOffset = 0;
    sim.receiptWritten = false;
    if (const char* path = std::getenv("LBSIM_CONTROL")) {
      // Lines written before this open are history, not instructions for this session.
      if (std::FILE* file = std::fopen(path, "rb")) {
        std::fseek(file, 0, SEEK_END);
        sim.controlOffset = std::ftell(file);
        std::fclose(file);
      }
    }
  } else {
    auto parentNode = sim.open.find(parent);
    if (parentNode == sim.open.end()) return kNkMAIDResult_ZombieObject;
    const Node& p = parentNode->second;
    if (p.kind == Kind::Module) {
      Camera* camera = FindCamera(id);
      if (!camera || !camera->plugged) return kNkMAIDResult_CameraNotFound;
      if (sim.faults.cameraOpenRefused.count(id)) return kNkMAIDResult_HardwareError;
      if (sim.faults.notAlive.count(id)) return kNkMAIDResult_CameraNotFound;
      node.kind = Kind::Camera;
      node.cameraId = id;
    } else if (p.kind == Kind::Camera) {
      Camera* camera = FindCamera(p.cameraId);
      if (!camera || !camera->items.count(id)) return kNkMAIDResult_ValueOutOfBounds;
      if (sim.faults.itemOpenRefused) {  // one picture's item, as the shot faults are
        sim.faults.itemOpenRefused = false;
        return kNkMAIDResult_HardwareError;
      }
      node.kind = Kind::Item;
      node.cameraId = p.cameraId;
      node.itemId = id;
    } else if (p.kind == Kind::Item && id == 1) {
      node.kind = Kind::Data;
      node.cameraId = p.cameraId;
      node.itemId = p.itemId;
    } else {
      return kNkMAIDResult_ValueOutOfBounds;
    }
  }
  record->ulType = static_cast<ULONG>(node.kind) + 1;
  record->ulID = id;
  record->refModule = nullptr;
  sim.open[record] = node;
  sim.closedByCaller.erase(record);  // the caller's memory, in use for a new object
  return kNkMAIDResult_NoError;
}

NKERROR Close(MaidObject* record, const Node& node) {
  Simulator& sim = Sim();
  const Node closed = node;
  sim.open.erase(record);
  if (sim.closedByCaller.insert(record).second) {
    sim.closedOrder.push_back(record);
    if (sim.closedOrder.size() > Simulator::kClosedRecordsKept) {
      sim.closedByCaller.erase(sim.closedOrder.front());
      sim.closedOrder.pop_front();
    }
  }
  if (closed.kind == Kind::Module) {
    // Nothing started may stay without its completion: queued work runs out (and finds its
    // objects closed) and held captures end as aborted.
    while (!sim.jobs.empty()) {
      std::function<void()> job = std::move(sim.jobs.front());
      sim.jobs.pop_front();
      job();
    }
    std::vector<Simulator::HeldCompletion> held;
    held.swap(sim.heldCaptures);
    for (const auto& h : held) {
      if (h.proc)
        h.proc(h.record, kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, 0, 0, h.ref,
               kNkMAIDResult_Aborted);
    }
    // Everything opened under the module goes with it, a record whose own Close failed too:
    // it must not take the events of the next session's camera.
    sim.open.clear();
  }
  // An item the computer has let go of is gone from the camera's list of new items.
  if (closed.kind == Kind::Item) {
    if (Camera* camera = FindCamera(closed.cameraId)) {
      camera->items.erase(closed.itemId);
      LetHeldPartnerGo(*camera, closed.cameraId, closed.itemId);
    }
  }
  return kNkMAIDResult_NoError;
}

// A call the caller must not make, for a test in another process that cannot ask the counts
// (LbSimCallsAfterClose, LbSimConcurrentCalls): "<module> <command>", then `why` unless the
// record was closed, appended to the file named by LBSIM_CALLER_FAULTS_LOG when it is set.
void LogCallersFault(ULONG command, const char* why = "") {
  const char* path = std::getenv("LBSIM_CALLER_FAULTS_LOG");
  if (!path || !*path) return;
  if (std::FILE* log = std::fopen(path, "ab")) {
    std::fprintf(log, "%s %lu%s\n", ModuleType(), static_cast<unsigned long>(command), why);
    std::fclose(log);
  }
}

// Counts a call from a thread the module had been handed away from (see
// Simulator::callerThreads); the module's own open starts the record afresh.
void NoteCallerThread(MaidObject* object, ULONG command, std::thread::id caller) {
  Simulator& sim = Sim();
  std::vector<std::thread::id>& threads = sim.callerThreads;
  if (command == kNkMAIDCommand_Open && !object) threads.clear();
  if (!threads.empty() && threads.back() == caller) return;
  // Past four entries only the latest thread is kept, so each further change counts once.
  if (threads.size() < 4) {
    threads.push_back(caller);
  } else {
    threads.back() = caller;
  }
  if (threads.size() > 3 || (threads.size() == 3 && threads[2] != threads[0])) {
    ++sim.strayCalls;
    LogCallersFault(command, " from a thread the module had been handed away from");
  }
}

// Whether the poll addressed to `node` answers "still working" this time (async-busy): every
// third poll of a camera with the habit, or of the module when one of its cameras has it.
bool BusyThisPoll(const Node& node) {
  Simulator& sim = Sim();
  bool busyCamera = false;
  if (node.kind == Kind::Module) {
    for (const auto& entry : sim.cameras) busyCamera |= entry.second.has(Habit::AsyncBusy);
  } else if (const Camera* camera = FindCamera(node.cameraId)) {
    busyCamera = camera->has(Habit::AsyncBusy);
  }
  return busyCamera && ++sim.asyncCalls % 3 == 0;
}

NKERROR Async(const Node& node) {
  Simulator& sim = Sim();
  ReadControlFile();
  RunTimedEvents();
  // A busy answer delivers nothing: the work waits for a later poll.
  if (BusyThisPoll(node)) return kNkMAIDResult_Pending;
  // The jobs queued before this call, each once; the jobs they queue wait for the next poll,
  // a transfer's next share at the front. (Counting them off the queue instead would run a
  // transfer that queues its next share at the front again and again in one poll, and starve
  // every job behind it: another camera's shot waited for a whole transfer.)
  std::deque<std::function<void()>> due;
  due.swap(sim.jobs);
  for (auto& job : due) job();
  return kNkMAIDResult_NoError;
}

NKERROR Handle(MaidObject* object, ULONG command, ULONG param, ULONG dataType, NKPARAM data,
               sdk::CompletionProc proc, NKREF ref) {
  Simulator& sim = Sim();
  if (command == kNkMAIDCommand_Open) return Open(object, param, data);
  auto it = sim.open.find(object);
  if (it == sim.open.end()) {
    if (sim.closedByCaller.count(object) != 0) {
      ++sim.callsAfterClose;
      LogCallersFault(command);
    }
    return kNkMAIDResult_ZombieObject;
  }
  if (command == kNkMAIDCommand_Close) return Close(object, it->second);
  if (it->second.kind == Kind::Camera &&
      (command == kNkMAIDCommand_Async || command == kNkMAIDCommand_CapGet ||
       command == kNkMAIDCommand_CapSet)) {
    // events-in-calls: what changed since the camera's last call arrives inside this one.
    DeliverEventsForNextCall(it->second.cameraId);
    it = sim.open.find(object);
    if (it == sim.open.end()) return kNkMAIDResult_ZombieObject;
  }
  Node& node = it->second;
  if (command == kNkMAIDCommand_Async) return Async(node);
  if (command == kNkMAIDCommand_GetCapCount) {
    if (!data) return kNkMAIDResult_UnexpectedDataType;
    *reinterpret_cast<ULONG*>(data) = CapCount(node.kind);
    return kNkMAIDResult_NoError;
  }
  if (command == kNkMAIDCommand_GetCapInfo) {
    if (sim.faults.bufferSizeAnswers > 0) {
      --sim.faults.bufferSizeAnswers;
      return kNkMAIDResult_BufferSize;
    }
    return CapInfo(node.kind, param, data);
  }
  if (!Lists(node.kind, param)) return kNkMAIDResult_NotSupported;
  switch (command) {
    case kNkMAIDCommand_CapGet:
      return CapGet(node, param, dataType, data);
    case kNkMAIDCommand_CapGetArray:
      return CapGetArray(node, param, data);
    case kNkMAIDCommand_CapSet:
      return CapSet(node, param, dataType, data);
    case kNkMAIDCommand_CapStart:
      return CapStart(object, node, param, proc, ref);
    default:
      return kNkMAIDResult_NotSupported;
  }
}

// The simulator's mutex, held until the lock goes, with the scenario loaded on first use:
// how every exported function starts.
[[nodiscard]] std::unique_lock<std::recursive_mutex> LockLoaded() {
  std::unique_lock<std::recursive_mutex> lock(Sim().mutex);
  if (!Sim().loaded) LoadScenario();
  return lock;
}

}  // namespace
}  // namespace lbsim

LBSIM_EXPORT lbsim::sdk::NKERROR MAIDEntryPoint(lbsim::sdk::MaidObject* object,
                                                lbsim::sdk::ULONG command, lbsim::sdk::ULONG param,
                                                lbsim::sdk::ULONG dataType,
                                                lbsim::sdk::NKPARAM data,
                                                lbsim::sdk::CompletionProc proc,
                                                lbsim::sdk::NKREF ref) {
  lbsim::Simulator& sim = lbsim::Sim();
  const std::thread::id self = std::this_thread::get_id(), other = sim.inside.load();
  const bool concurrent = other != std::thread::id() && other != self;
  const auto lock = lbsim::LockLoaded();
  if (concurrent) {
    ++sim.concurrentCalls;
    lbsim::LogCallersFault(command, " while another thread was inside");
  }
  lbsim::NoteCallerThread(object, command, self);
  // A callback's call back into the module keeps its thread inside.
  struct Inside {
    lbsim::Simulator& sim;
    const std::thread::id outer = sim.inside.exchange(std::this_thread::get_id());
    ~Inside() { sim.inside = outer; }
  } inside{sim};
  ++sim.calls;
  if (sim.faults.failCallIn > 0 && --sim.faults.failCallIn == 0) {
    std::fprintf(stderr, "lbsim: call %u failed as asked: command %lu, capability %lu\n", sim.calls,
                 static_cast<unsigned long>(command), static_cast<unsigned long>(param));
    return lbsim::sdk::kNkMAIDResult_UnexpectedError;
  }
  return lbsim::Handle(object, command, param, dataType, data, proc, ref);
}

// One control line (see ApplyControlLine); 0 when understood.
LBSIM_EXPORT int LbSimControl(const char* line) {
  if (!line) return -1;
  const auto lock = lbsim::LockLoaded();
  return lbsim::ApplyControlLine(line);
}

// Where camera `id`'s lens stands (a sharp picture at 5000), or -1 for no such camera: what a
// photographer would see through the finder after focus drives.
LBSIM_EXPORT double LbSimLensPosition(unsigned id) {
  const auto lock = lbsim::LockLoaded();
  const lbsim::Camera* camera = lbsim::FindCamera(id);
  return camera ? camera->focus : -1.0;
}

// How many entry-point calls came since the last "reset".
LBSIM_EXPORT unsigned LbSimCalls() {
  const auto lock = lbsim::LockLoaded();
  return lbsim::Sim().calls;
}

// How many items since the last "reset" were announced inside a transfer's poll (nested-items).
LBSIM_EXPORT unsigned LbSimAnnouncedMidTransfer() {
  const auto lock = lbsim::LockLoaded();
  return lbsim::Sim().announcedMidTransfer;
}

// How many calls since the last "reset" came with a record the caller had closed itself.
LBSIM_EXPORT unsigned LbSimCallsAfterClose() {
  const auto lock = lbsim::LockLoaded();
  return lbsim::Sim().callsAfterClose;
}

// How many calls since the last "reset" came while another thread was inside the module.
LBSIM_EXPORT unsigned LbSimConcurrentCalls() {
  const auto lock = lbsim::LockLoaded();
  return lbsim::Sim().concurrentCalls;
}

// How many times since the last "reset" a call came from a thread the module had been handed
// away from, other than to close it (see Simulator::callerThreads).
LBSIM_EXPORT unsigned LbSimStrayCalls() {
  const auto lock = lbsim::LockLoaded();
  return lbsim::Sim().strayCalls;
}
