// The simulated module's state: its cameras, their capture items, the objects the caller has
// open, the work waiting for the caller's next poll, and the faults armed for it.
//
// One Simulator per module library, reached through Sim(). Threads: every function declared
// here expects the simulator's mutex to be held (the entry point and LbSimControl take it);
// callbacks into the caller run with it held, on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_sdk.h"
#include "sim/sim_habits.h"
#include "sim/sim_scenario.h"

namespace lbsim {

using namespace sdk;
using sdk::MaidObject;
using sdk::NKERROR;
using sdk::NKPARAM;
using sdk::NKREF;
using sdk::ULONG;

// The module file this library stands in for ("Type0001", "Type0023").
const char* ModuleType();

enum class Kind { Module, Camera, Item, Data };

struct Item {
  bool raw = false;
  bool sidecar = false;  // one file of a RAW+JPEG pair
  std::uint32_t captureNumber = 0;
  std::uint64_t seed = 0;
  // The JPEG's bytes, made on a thread of their own as a camera's own processor makes them
  // (the shot is announced once they are), and shared with a transfer in progress; a RAW
  // file is made block by block.
  std::shared_future<std::shared_ptr<const std::vector<unsigned char>>> jpegMade;
  const std::vector<unsigned char>& jpeg() const { return *jpegMade.get(); }
  ULONG rawBytes = 0;
  ULONG bytes() const { return raw ? rawBytes : static_cast<ULONG>(jpeg().size()); }
};

constexpr double kSharpFocus = 5000.0;  // focus position of a sharp picture

struct Camera {
  CameraSetup setup;
  bool plugged = true;
  ULONG exposure = 3, shutter = 7, aperture = 2, whiteBalance = 0, iso = 1, autoIso = 2;
  bool isoAuto = false;
  ULONG focusMode = 1;  // 1 auto-focus, 0 manual
  ULONG saveMedia = 0;  // 0 card, 1 computer
  ULONG liveView = 0;
  ULONG contrastAf = 1;  // 1 stopped
  double focus = kSharpFocus - 4000.0;
  double focusStep = 500.0;
  std::uint32_t captures = 0;
  std::uint32_t frames = 0;
  ULONG nextItemId = 1;
  std::map<ULONG, Item> items;
  std::vector<unsigned char> frame;  // the frame between CapGet and CapGetArray
  std::uint16_t frameElementBytes = 1;

  // What the habits keep between calls.
  bool has(Habit habit) const { return Has(setup.habits, habit); }
  std::deque<ULONG> eventsForNextCall;  // events-in-calls: changed capabilities, in order
  // nested-items: a pair's second item, by its first one, held back while the caller has the
  // first one open; its transfer's first block, or its close, lets the second one come.
  std::map<ULONG, ULONG> heldPartners;
  unsigned liveViewBusyReads = 0;   // lv-busy: reads still to answer busy
  bool liveViewOffRefused = false;  // lv-off-busy: this live view refused a switch-off
  // The data objects whose Acquire has started and not yet completed, kept for every camera
  // so that busy-while-transferring switched on mid-transfer takes effect at once.
  std::set<MaidObject*> transferring;
};

// What the caller opened: one per object record it handed to Open.
struct Node {
  Kind kind = Kind::Module;
  ULONG cameraId = 0;
  ULONG itemId = 0;
  sdk::MaidCallback eventProc{};
  sdk::MaidCallback dataProc{};
};

// Faults armed by the control line. The module, camera and alive faults hold until "clear";
// the others, a picture's item refused among them, fire once.
struct Faults {
  bool moduleOpenRefused = false;
  bool itemOpenRefused = false;
  std::set<ULONG> cameraOpenRefused;
  std::set<ULONG> notAlive;
  int bufferSizeAnswers = 0;
  bool transferLost = false;
  bool captureHangs = false;
  bool liveViewShort = false;
  bool liveViewEmpty = false;  // the header alone, no picture after it
  bool blockWraps = false;
  bool storedBytesUnreadable = false;
  std::optional<ULONG> storedBytesClaim;  // what the next StoredBytes read answers instead
  // "fault call N": the Nth entry-point call from now fails with kNkMAIDResult_UnexpectedError
  // without doing anything, whatever it is (a test runs a session once per call this way).
  unsigned failCallIn = 0;
};

struct Simulator {
  std::recursive_mutex mutex;
  Scenario scenario;
  std::map<ULONG, Camera> cameras;
  std::map<MaidObject*, Node> open;
  // Records the caller closed, until it opens one at the same address again, and how many
  // calls came with one of them since the last reset. A real module may have freed what such
  // a record points to: a second Close, or any call after it, is the caller's fault.
  // Only the last kClosedRecordsKept closes are remembered, so the record stays small over
  // any number of shots; a call with a record closed that long ago goes uncounted.
  static constexpr std::size_t kClosedRecordsKept = 4096;
  std::set<MaidObject*> closedByCaller;
  std::deque<MaidObject*> closedOrder;  // the same records, oldest first
  unsigned callsAfterClose = 0;
  unsigned announcedMidTransfer = 0;  // nested-items: items announced inside a transfer's poll
  // A module is not safe to enter from two threads at once: the thread inside the entry point,
  // and how many calls since the last reset came from another thread meanwhile. Read and
  // written before the mutex is taken.
  std::atomic<std::thread::id> inside{};
  std::atomic<unsigned> concurrentCalls{0};
  // A caller that opens a module on one thread and hands it to another, as the process hands
  // each module to a thread of its own, takes it back only to close it: the threads that
  // called since the module's open, one entry per change of thread (at most four kept), and
  // how many changes since the last reset went to a thread the module had been handed away
  // from, or to a third one. Such a call meets the other thread's only by chance, so the
  // concurrent count alone would miss it most of the time.
  std::vector<std::thread::id> callerThreads;
  unsigned strayCalls = 0;
  // Work for the caller's next Async, run in order on the caller's thread.
  std::deque<std::function<void()>> jobs;
  Faults faults;
  std::vector<TimedEvent> timedEvents;
  // Cameras the scenario put on another module only: never made here, not even by "plug".
  std::set<ULONG> elsewhere;
  unsigned asyncCalls = 0;  // counts the polls, for async-busy
  unsigned calls = 0;       // entry-point calls since the last "reset"
  // A clock the control line sets ("clock <ms>"), for a caller that runs on a clock of its own
  // (the fuzzer): while it is set, time stands still between lines and nothing sleeps.
  std::optional<unsigned> manualClockMs;
  unsigned openedAtMs = 0;
  long controlOffset = 0;
  bool receiptWritten = false;  // of the control lines read (sim_control.cpp)
  bool loaded = false;
  // Captures whose completion a fault holds back; completed (aborted) when the module closes.
  struct HeldCompletion {
    MaidObject* record;
    sdk::CompletionProc proc;
    NKREF ref;
  };
  std::vector<HeldCompletion> heldCaptures;
};

Simulator& Sim();

// Milliseconds of the steady clock, or of the manual one when it is set: for the scenario's
// timed events, timed exposures and slow-link's pace.
unsigned NowMs();

Camera* FindCamera(ULONG id);

// The open record of the module, or of camera `cameraId`, or null.
MaidObject* OpenRecord(Kind kind, ULONG cameraId = 0);

// Calls the event procedure of the open object `record`, if it has one. The procedure may call
// us again and close objects, so nothing of the open map is held across the call.
void DeliverEvent(MaidObject* record, ULONG event, NKPARAM data);

// Queues an event for the module (cameraId 0) or a camera, delivered at the next Async.
void QueueEvent(Kind kind, ULONG cameraId, ULONG event, NKPARAM data);

// A capability of camera `cameraId` changed: its CapChangeValueOnly event is queued for the
// next Async, or, under events-in-calls, for the camera's next call of any kind.
void QueueSettingChange(ULONG cameraId, ULONG capId);

// Delivers the events-in-calls events waiting for the camera's next call.
void DeliverEventsForNextCall(ULONG cameraId);

}  // namespace lbsim
