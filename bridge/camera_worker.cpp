#include "bridge/camera_worker.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>

#include "bridge/camera_commands.h"
#include "bridge/dispatcher.h"
#include "camera/camera_clock.h"
#include "camera/modules/module_manager.h"
#include "camera/sdk_lock.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "platform/mutex.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

struct QueuedCommand {
  std::uint32_t requestId = 0;
  std::unique_ptr<ZnLuaTE> name;
  std::unique_ptr<ZnLuaTE> params;  // null when the request had none
};

CMutex g_queueLock;
std::deque<QueuedCommand> g_commands LB_GUARDED_BY(g_queueLock);  // in the order the host sent them

// Camera thread only.
bool g_commandWaiting = false;                // the front command asked to run again later
std::uint32_t g_commandDueMs = 0;             // camera clock when it is due
bool g_sessionEnded = false;                  // "shutdown" has run: nothing more is done

std::atomic<CameraWakeHook> g_wakeHook{nullptr};
std::atomic<SessionEndHook> g_sessionEndHook{nullptr};

bool TakeFront(QueuedCommand& command) {
  CMutexLock lock(g_queueLock);
  if (g_commands.empty()) return false;
  command = std::move(g_commands.front());
  g_commands.pop_front();
  return true;
}

void PutBackFront(QueuedCommand command) {
  CMutexLock lock(g_queueLock);
  g_commands.push_front(std::move(command));
}

bool HaveCommands() {
  CMutexLock lock(g_queueLock);
  return !g_commands.empty();
}

// Runs the waiting commands in order, up to one that waits for its time (it stays in front).
void RunCommands() {
  QueuedCommand command;
  while (!g_sessionEnded && TakeFront(command)) {
    if (g_commandWaiting && static_cast<std::int32_t>(CameraClockMs() - g_commandDueMs) < 0) {
      PutBackFront(std::move(command));
      return;
    }
    g_commandWaiting = false;
    const int outcome = DispatchHostMessage(command.requestId, command.name.get(), command.params.get());
    if (outcome == kDispatchAgainLater) {
      g_commandWaiting = true;
      g_commandDueMs = CameraClockMs() + DispatchAgainDelayMs();
      PutBackFront(std::move(command));
      return;
    }
    if (outcome == 1) {
      // Whatever the host sent after "shutdown" is never run.
      g_sessionEnded = true;
      CancelCameraWork();
      if (SessionEndHook hook = g_sessionEndHook.load()) hook(command.requestId);
      return;
    }
  }
}

}  // namespace

int PostHostRequest(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params) {
  QueuedCommand command;
  command.requestId = requestId;
  try {
    if (name) command.name = name->clone();
    if (params) command.params = params->clone();
  } catch (...) {
    Trace("Dropped request %u: no memory to keep it", requestId);
    return 0;
  }
  {
    CMutexLock lock(g_queueLock);
    g_commands.push_back(std::move(command));
  }
  if (CameraWakeHook hook = g_wakeHook.load()) hook();
  return 0;
}

unsigned RunCameraWork() {
  // A nested call (an SDK call that pumped this thread's messages) must not run a command
  // inside another one's SDK call; the outer call goes on when it returns.
  if (g_sdkLock.heldByThisThread()) return kCameraPollMs;
  RunCommands();
  bool underWay = false;
  bool delivering = false;
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
    if (manager && !g_sessionEnded) underWay = manager->stepOperations(kCameraSliceMs, delivering);
  }
  unsigned waitMs = kCameraIdle;
  if (underWay) waitMs = delivering ? 0 : kCameraPollMs;
  if (g_sessionEnded) return waitMs;
  if (g_commandWaiting) {
    const std::int32_t left = static_cast<std::int32_t>(g_commandDueMs - CameraClockMs());
    waitMs = std::min(waitMs, static_cast<unsigned>(std::max<std::int32_t>(left, 0)));
  } else if (HaveCommands()) {
    waitMs = 0;
  }
  return waitMs;
}

bool OfferStandingReplies() {
  // Read before the queue is looked at: a request handed over later leaves the offer stale.
  const std::uint64_t handedOver = HandedOverRequestCount();
  if (g_sessionEnded || HaveCommands()) return false;
  CSdkLockGuard lock(g_sdkLock);
  ZnLuaTETable status;
  if (!LiveViewStatus(status)) return false;
  LeaveStandingReply("isLiveViewOn", "ok", &status, handedOver);
  return true;
}

void CancelCameraWork() {
  CMutexLock lock(g_queueLock);
  g_commands.clear();
  g_commandWaiting = false;
}

void RestartCameraWork() {
  CancelCameraWork();
  g_sessionEnded = false;
}

void SetCameraWakeHook(CameraWakeHook hook) { g_wakeHook.store(hook); }
void SetSessionEndHook(SessionEndHook hook) { g_sessionEndHook.store(hook); }
