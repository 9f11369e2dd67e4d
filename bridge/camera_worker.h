// The camera thread's work, as one object: the host's requests, handed over by the pipe thread
// as they come, and the heartbeat. The pipe thread never runs camera work, so the host's link
// never waits for a camera; a request is answered as soon as its own work is done.
//
// Each module's calls are made by its lane (module_lane.h): the worker routes each request
// where it runs (HostCommand::place), answers on its own thread what needs no module, and
// hands each lane that is not busy its part of the heartbeat. A module busy inside a long call
// holds up only the requests for its cameras. Requests are routed in the order they came, and
// each lane runs its share in that order; a request that changes which camera is connected or
// whether its live view is on (ordersLater) is routed nothing behind until it has run.
//
// Each turn routes the waiting requests for at most kCommandBudgetMs, ticks the heartbeat when
// it is due, and, when the lanes run on this thread, gives the cameras' long operations one
// kCameraSliceMs budget, shared between them: a burst of requests does not stall a download,
// and a download does not hold a request for more than one slice.
//
// As the lanes start, each lists its module's cameras; a request that lists every module's
// cameras waits for those first scans (for up to kFirstScanPatienceMs), so that a host that asks
// at once hears of the cameras that were there all along rather than of none.
//
// A command may ask to run again a little later (a live-view start waiting for the
// half-second settings spacing); the commands behind it on its lane wait in order. "shutdown"
// ends the session in two steps: the worker drains (the commands before it, the transfers and
// the releases under way finish, for up to kShutdownDrainMs, nothing the host sent after it is
// run) and then stops the lanes, closes the cameras and tells its delegate. A module stuck
// inside a call therefore delays the end by that bound at most, never for ever.
//
// Threads: post() on the pipe thread; everything else on the camera thread. runTurn() takes the
// SDK lock for each command, each heartbeat and each slice; it must not be called with it held.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "bridge/camera_thread.h"
#include "bridge/module_lane.h"
#include "camera/camera_clock.h"
#include "camera/sdk_lock.h"
#include "platform/mutex.h"

class ZnLuaTE;

class CCameraWorker {
 public:
  enum class Phase {
    Running,   // requests are run and the heartbeat ticks
    Draining,  // "shutdown" came: what came before it finishes, nothing after it is run
    Ended,     // the cameras are closed; the worker does nothing more
  };

  // `delegate` is not owned and must outlive the worker; `clock` is the camera clock unless a
  // test hands its own. The process gives each lane a thread of its own; tests and fuzzers run
  // the lanes' work on the thread that plays the camera thread.
  explicit CCameraWorker(CCameraWorkerDelegate& delegate, CameraClockSource clock = CameraClockMs,
                         CModuleLane::Mode lanes = CModuleLane::Mode::CameraThread);
  ~CCameraWorker();
  CCameraWorker(const CCameraWorker&) = delete;
  CCameraWorker& operator=(const CCameraWorker&) = delete;

  // Pipe thread: queues a copy of the request and wakes the camera thread. A request that
  // cannot be copied (no memory) is traced and dropped.
  void post(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params);

  // Camera thread: one turn. Returns how long the caller may wait for a request before the
  // next turn: 0, a few milliseconds, or kCameraIdle.
  unsigned runTurn() LB_EXCLUDES(g_sdkLock);

  // Camera thread, right before it sleeps: when the worker runs and no command is queued or
  // waits, leaves the answer to "isLiveViewOn" (LeaveStandingReply) for the pipe thread to
  // give while this thread sleeps. True when an answer was left.
  bool offerStandingReplies() LB_EXCLUDES(g_sdkLock);

  // Camera thread: drops the commands not yet run (the host is gone).
  void cancel();
  // Camera thread: the host is gone. Drops the commands not yet run, stops the lanes and closes
  // the cameras; the files still waiting for their names are left to go on waiting.
  void closeCameras() LB_EXCLUDES(g_sdkLock);

  Phase phase() const { return m_phase; }
  // Whether the last turn left work for the next: commands waiting, a long operation under
  // way, or the drain.
  bool busy() const { return m_busy; }

 private:
  struct QueuedCommand {
    std::uint32_t requestId = 0;
    std::unique_ptr<ZnLuaTE> name;
    std::unique_ptr<ZnLuaTE> params;  // null when the request had none
  };
  using SharedCommand = std::shared_ptr<const QueuedCommand>;
  enum class Routed { Yes, NotYet };

  bool takeFront(QueuedCommand& command);
  void putBackFront(QueuedCommand command);
  bool haveCommands();
  void makeLanes() LB_EXCLUDES(g_sdkLock);
  // Whether a lane's first scan is still to run and the patience with it has not run out.
  bool firstScansUnderWay() const;
  CModuleLane* laneOf(std::uint32_t moduleIndex);
  // The lane of the module of the camera a request is about (AddressedCamera); null when none.
  CModuleLane* addressedLane(const ZnLuaTE* params) LB_EXCLUDES(g_sdkLock);
  // The lanes' jobs of one kind queued or running (as `count` of a lane gives them: all of
  // them, &CModuleLane::pendingJobs, or those that answer, order or are addressed), leaving out
  // those of `except`.
  using PendingCount = std::size_t (CModuleLane::*)() const;
  std::size_t pendingLaneJobs(PendingCount count, const CModuleLane* except = nullptr) const;
  void stopLanes() LB_EXCLUDES(g_sdkLock);
  void routeCommands() LB_EXCLUDES(g_sdkLock);
  Routed route(const HostCommand& command, QueuedCommand& queued) LB_EXCLUDES(g_sdkLock);
  void postPart(CModuleLane& lane, HostCommandHandler part, const SharedCommand& command,
                bool answers, bool ordersLater, bool addressed = false);
  void postToEveryModule(const HostCommand& command, const SharedCommand& shared)
      LB_EXCLUDES(g_sdkLock);
  // A rig release: each module's cameras of the rig start on its lane, all lanes at once.
  void postRigRelease(const SharedCommand& shared) LB_EXCLUDES(g_sdkLock);
  void startDrain(std::uint32_t shutdownRequestId);
  void finishDrainWhenDone() LB_EXCLUDES(g_sdkLock);
  void tickHeartbeat() LB_EXCLUDES(g_sdkLock);
  std::int32_t msUntil(std::uint32_t dueMs) const;

  CCameraWorkerDelegate& m_delegate;  // not owned
  const CameraClockSource m_clock;
  const CModuleLane::Mode m_laneMode;

  CMutex m_queueLock;
  std::deque<QueuedCommand> m_commands LB_GUARDED_BY(m_queueLock);  // in the order they came

  // Camera thread only.
  Phase m_phase = Phase::Running;
  // One per opened module, made at the first turn.
  std::vector<std::unique_ptr<CModuleLane>> m_lanes;
  bool m_lanesMade = false;
  // The first scans not yet run (counted down by the lanes' jobs), and when they were posted.
  std::shared_ptr<std::atomic<std::size_t>> m_firstScansLeft;
  std::uint32_t m_firstScansPostedMs = 0;
  std::uint32_t m_heartbeatDueMs = 0;
  std::uint32_t m_drainStartMs = 0;       // Draining: when it began
  std::uint32_t m_shutdownRequestId = 0;  // Draining: the "shutdown" being answered
  std::uint32_t m_lastRigShot = 0;        // the number of the last rig release
  bool m_busy = false;
};
