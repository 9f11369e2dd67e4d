// What the camera thread's parts (the worker and the modules' lanes) share: the timing of their
// turns, and the delegate through which they reach the process around them.
#pragma once

#include <cstdint>
#include <limits>

// How long the camera thread may wait before runTurn is due again once the session has ended:
// nothing more to do. (While it runs, the heartbeat is never further away than its period.)
constexpr unsigned kCameraIdle = std::numeric_limits<unsigned>::max();
// The time the long operations get in one turn, shared between the cameras (of one module, on
// its own lane's thread).
constexpr unsigned kCameraSliceMs = 20;
// The time the host's commands get in one turn before the long operations have theirs.
constexpr unsigned kCommandBudgetMs = 20;
// The pause between polls of a camera that has nothing new to deliver.
constexpr unsigned kCameraPollMs = 10;
// The heartbeat: rescans, live-view frames and settings reports.
constexpr unsigned kHeartbeatPeriodMs = 100;
// How long a listing of every module's cameras waits for the lanes' first scans of their
// modules before it answers with the cameras known.
constexpr unsigned kFirstScanPatienceMs = 2000;
// How long "shutdown" lets the transfers under way finish before it closes the cameras anyway.
constexpr unsigned kShutdownDrainMs = 60000;

// What the worker needs from the process around it.
class CCameraWorkerDelegate {
 public:
  virtual ~CCameraWorkerDelegate() = default;
  // Pipe thread: a request was queued; or a lane's thread: one of its jobs has run. The camera
  // thread is to call runTurn soon.
  virtual void wakeCameraThread() = 0;
  // Camera thread: "shutdown" (request `requestId`) has run and the cameras are closed; the
  // pipe thread answers "shutdownComplete" once everything queued before it is sent.
  virtual void endHostSession(std::uint32_t requestId) = 0;
};
