// The camera thread's work, as one object: the host's requests, handed over by the pipe thread
// as they come, the heartbeat, and between them the slices of the cameras' long operations (a
// release waiting for its completion, the downloads). The pipe thread never runs camera work,
// so the host's link never waits for a camera; a request is answered as soon as its own work
// is done.
//
// Each turn runs the waiting commands for at most kCommandBudgetMs, the heartbeat when it is
// due, and one kCameraSliceMs budget of the long operations, shared between the cameras: a
// burst of requests does not stall a download, and a download does not hold a request for
// more than one slice.
//
// A command may ask to run again a little later (a live-view start waiting for the
// half-second settings spacing); the commands behind it wait in order, the long operations go
// on meanwhile. "shutdown" ends the session in two steps: the worker drains (the transfers and
// releases under way finish, for up to kShutdownDrainMs, nothing more the host sent is run)
// and then closes the cameras and tells its delegate.
//
// Threads: post() on the pipe thread; everything else on the camera thread. runTurn() takes the
// SDK lock for each command, each heartbeat and each slice; it must not be called with it held.
#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <optional>

#include "camera/camera_clock.h"
#include "camera/sdk_lock.h"
#include "platform/mutex.h"

class ZnLuaTE;

// How long the camera thread may wait before runTurn is due again once the session has ended:
// nothing more to do. (While it runs, the heartbeat is never further away than its period.)
constexpr unsigned kCameraIdle = std::numeric_limits<unsigned>::max();
// The time the long operations get in one turn, shared between the cameras.
constexpr unsigned kCameraSliceMs = 20;
// The time the host's commands get in one turn before the long operations have theirs.
constexpr unsigned kCommandBudgetMs = 20;
// The pause between polls of a camera that has nothing new to deliver.
constexpr unsigned kCameraPollMs = 10;
// The heartbeat: rescans, live-view frames and settings reports.
constexpr unsigned kHeartbeatPeriodMs = 100;
// How long "shutdown" lets the transfers under way finish before it closes the cameras anyway.
constexpr unsigned kShutdownDrainMs = 60000;

// What the worker needs from the process around it.
class CCameraWorkerDelegate {
 public:
  virtual ~CCameraWorkerDelegate() = default;
  // Pipe thread: a request was queued; the camera thread is to call runTurn soon.
  virtual void wakeCameraThread() = 0;
  // Camera thread: "shutdown" (request `requestId`) has run and the cameras are closed; the
  // pipe thread answers "shutdownComplete" once everything queued before it is sent.
  virtual void endHostSession(std::uint32_t requestId) = 0;
};

class CCameraWorker {
 public:
  enum class Phase {
    Running,   // requests are run and the heartbeat ticks
    Draining,  // "shutdown" came: the operations under way finish, nothing else is run
    Ended,     // the cameras are closed; the worker does nothing more
  };

  // `delegate` is not owned and must outlive the worker; `clock` is the camera clock unless a
  // test hands its own.
  explicit CCameraWorker(CCameraWorkerDelegate& delegate, CameraClockSource clock = CameraClockMs);
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

  bool takeFront(QueuedCommand& command);
  void putBackFront(QueuedCommand command);
  bool haveCommands();
  void runCommands() LB_EXCLUDES(g_sdkLock);
  void startDrain(std::uint32_t shutdownRequestId);
  void finishDrainWhenDone() LB_EXCLUDES(g_sdkLock);
  void tickHeartbeat() LB_EXCLUDES(g_sdkLock);
  std::int32_t msUntil(std::uint32_t dueMs) const;

  CCameraWorkerDelegate& m_delegate;  // not owned
  const CameraClockSource m_clock;

  CMutex m_queueLock;
  std::deque<QueuedCommand> m_commands LB_GUARDED_BY(m_queueLock);  // in the order they came

  // Camera thread only.
  Phase m_phase = Phase::Running;
  std::optional<std::uint32_t> m_frontDueMs;  // the front command asked to run again then
  std::uint32_t m_heartbeatDueMs = 0;
  std::uint32_t m_drainStartMs = 0;       // Draining: when it began
  std::uint32_t m_shutdownRequestId = 0;  // Draining: the "shutdown" being answered
  bool m_busy = false;
};
