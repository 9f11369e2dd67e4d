// A module's lane: the one thread that makes a camera module's calls once it is open. The
// camera worker hands it the work that needs the module (the commands for its cameras, its part
// of the heartbeat) and the lane steps its cameras' long operations between them, so that a
// module busy inside a long call (a release that exposes within CapStart) holds up only its own
// cameras: the worker goes on answering what needs no module, and the other modules' lanes go
// on with theirs.
//
// What this relies on of the SDK: a module's calls never overlap, and the callbacks of a call
// come inside it on the calling thread (or on a thread of the module's own; each callback takes
// the SDK lock). Modules share nothing with each other, so two may be inside calls at once. A
// module is opened at start-up on the camera thread; from then on its lane makes every call
// into it until the lane has stopped, and the camera thread closes it after that, so its calls
// never come from two threads at a time.
//
// In the process each lane has a thread of its own (Mode::OwnThread). Tests and fuzzers, which
// play the camera thread on their own, have the lanes' work run on that thread
// (Mode::CameraThread): a job runs as soon as it is posted, unless one waits ahead of it.
//
// Threads: post(), runDueJobs() (CameraThread mode), dropQueued() and stop() on the camera
// thread; pendingJobs() and pendingOrderingJobs() anywhere.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "bridge/camera_thread.h"
#include "bridge/dispatcher.h"
#include "camera/camera_clock.h"
#include "camera/sdk_lock.h"
#include "platform/mutex.h"
#include "platform/wake_signal.h"

// How long the camera thread waits for a lane's call under way when the lanes stop; a lane
// still inside a call then is left behind with its module.
constexpr unsigned kLaneStopPatienceMs = 10000;

// One piece of a lane's work, run with the SDK lock held: done, or to run again later (the
// jobs behind it wait).
struct LaneJob {
  std::function<CommandResult()> work;
  // It may reply (HostCommand::answers); the worker routes no command after it until it has
  // run (HostCommand::ordersLater).
  bool answers = false;
  bool ordersLater = false;
  // It acts on the camera it is about, which the worker chose as it routed it: a command that
  // changes which camera that is waits until it has run (HostCommand::ordersLater).
  bool addressed = false;
  std::optional<std::uint32_t> dueMs;  // set when it asked to run again
};

class CModuleLane {
 public:
  enum class Mode { OwnThread, CameraThread };

  // `worker` is woken whenever a job of an own-thread lane has run; not owned.
  CModuleLane(std::uint32_t moduleIndex, Mode mode, CCameraWorkerDelegate& worker,
              CameraClockSource clock);
  ~CModuleLane();
  CModuleLane(const CModuleLane&) = delete;
  CModuleLane& operator=(const CModuleLane&) = delete;

  std::uint32_t moduleIndex() const { return m_moduleIndex; }

  // Queues `job` behind the others. On the camera thread's mode it runs at once when it is
  // the first due.
  void post(LaneJob job);
  // CameraThread mode: runs the queued jobs that are due, for at most kCommandBudgetMs.
  // Returns how long until the first left is due, 0 when one is due now, or kCameraIdle.
  unsigned runDueJobs() LB_EXCLUDES(g_sdkLock);
  // Jobs queued or running; of them, those that may reply, those with ordersLater, and those
  // addressed to a camera.
  std::size_t pendingJobs() const { return m_pending.load(); }
  std::size_t pendingAnsweringJobs() const { return m_pendingAnswering.load(); }
  std::size_t pendingOrderingJobs() const { return m_pendingOrdering.load(); }
  std::size_t pendingAddressedJobs() const { return m_pendingAddressed.load(); }
  // Forgets the queued jobs (the one running, if any, finishes).
  void dropQueued();
  // Ends the lane's thread once its job under way is done, waiting for it up to `patienceMs` of
  // the camera clock.
  // False when the thread is still inside a module's call then: it is left behind, and its
  // module must never be closed.
  bool stop(unsigned patienceMs) LB_EXCLUDES(g_sdkLock);
  // Keeps a lane whose stop() failed for the rest of the process.
  static void LeaveBehind(std::unique_ptr<CModuleLane> lane);

 private:
  void runThread();
  void counted(const LaneJob& job, int by);

  const std::uint32_t m_moduleIndex;
  const Mode m_mode;
  CCameraWorkerDelegate& m_worker;
  const CameraClockSource m_clock;

  CMutex m_queueLock;
  std::deque<LaneJob> m_jobs LB_GUARDED_BY(m_queueLock);
  std::atomic<std::size_t> m_pending{0};
  std::atomic<std::size_t> m_pendingAnswering{0};
  std::atomic<std::size_t> m_pendingOrdering{0};
  std::atomic<std::size_t> m_pendingAddressed{0};

  // OwnThread mode.
  platform::CWakeSignal m_wake;
  std::atomic<bool> m_stopping{false};
  std::mutex m_exitLock;
  std::condition_variable m_exited;
  bool m_hasExited = false;  // under m_exitLock
  std::thread m_thread;
};
