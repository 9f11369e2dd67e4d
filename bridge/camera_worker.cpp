#include "bridge/camera_worker.h"

#include <algorithm>

#include "bridge/camera_commands.h"
#include "bridge/dispatcher.h"
#include "camera/modules/module_manager.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// The wait until a time `leftMs` away, never negative.
unsigned WaitOf(std::int32_t leftMs) {
  return static_cast<unsigned>(std::max<std::int32_t>(leftMs, 0));
}

}  // namespace

CCameraWorker::CCameraWorker(CCameraWorkerDelegate& delegate, CameraClockSource clock)
    : m_delegate(delegate), m_clock(clock) {
  m_heartbeatDueMs = m_clock() + kHeartbeatPeriodMs;
}

CCameraWorker::~CCameraWorker() = default;

void CCameraWorker::post(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params) {
  QueuedCommand command;
  command.requestId = requestId;
  try {
    if (name) command.name = name->clone();
    if (params) command.params = params->clone();
  } catch (...) {
    Trace("Dropped request %u: no memory to keep it", requestId);
    return;
  }
  {
    CMutexLock lock(m_queueLock);
    m_commands.push_back(std::move(command));
  }
  m_delegate.wakeCameraThread();
}

bool CCameraWorker::takeFront(QueuedCommand& command) {
  CMutexLock lock(m_queueLock);
  if (m_commands.empty()) return false;
  command = std::move(m_commands.front());
  m_commands.pop_front();
  return true;
}

void CCameraWorker::putBackFront(QueuedCommand command) {
  CMutexLock lock(m_queueLock);
  m_commands.push_front(std::move(command));
}

bool CCameraWorker::haveCommands() {
  CMutexLock lock(m_queueLock);
  return !m_commands.empty();
}

std::int32_t CCameraWorker::msUntil(std::uint32_t dueMs) const {
  return static_cast<std::int32_t>(dueMs - m_clock());
}

void CCameraWorker::cancel() {
  CMutexLock lock(m_queueLock);
  m_commands.clear();
  m_frontDueMs.reset();
}

void CCameraWorker::runCommands() {
  const std::uint32_t start = m_clock();
  QueuedCommand command;
  while (m_phase == Phase::Running && takeFront(command)) {
    if (m_frontDueMs && msUntil(*m_frontDueMs) > 0) {
      putBackFront(std::move(command));
      return;
    }
    m_frontDueMs.reset();
    const CommandResult result =
        DispatchHostMessage(command.requestId, command.name.get(), command.params.get());
    switch (result.kind) {
      case CommandResult::Kind::Done:
        break;
      case CommandResult::Kind::RunAgainLater:
        m_frontDueMs = m_clock() + result.delayMs;
        putBackFront(std::move(command));
        return;
      case CommandResult::Kind::EndSession:
        startDrain(command.requestId);
        return;
    }
    // The rest wait for the next turn, after the long operations have had their slice.
    if (m_clock() - start >= kCommandBudgetMs) return;
  }
}

void CCameraWorker::startDrain(std::uint32_t shutdownRequestId) {
  // Whatever the host sent after "shutdown" is never run; the heartbeat stops with the phase.
  cancel();
  m_phase = Phase::Draining;
  m_drainStartMs = m_clock();
  m_shutdownRequestId = shutdownRequestId;
}

// The releases still waiting for their completion, the transfers under way and waiting and
// the held files' names are let finish, for up to kShutdownDrainMs, so that every release and
// every announced file ends with its outcome before "shutdownComplete": a release is given up
// (and reported) only once nothing more can come of it, its camera gone or the bound reached.
void CCameraWorker::finishDrainWhenDone() {
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
    const bool underWay = manager && (manager->hasDownloads() || manager->hasReleases());
    if (underWay && m_clock() - m_drainStartMs < kShutdownDrainMs) return;
    if (manager) manager->abandonReleases("lensbridge shut down before the camera completed it");
    ShutdownCameras();
  }
  m_phase = Phase::Ended;
  cancel();
  m_delegate.endHostSession(m_shutdownRequestId);
}

void CCameraWorker::tickHeartbeat() {
  m_heartbeatDueMs = m_clock() + kHeartbeatPeriodMs;
  CSdkLockGuard lock(g_sdkLock);
  if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance()) manager->pumpIdle();
}

unsigned CCameraWorker::runTurn() {
  m_busy = false;
  if (m_phase == Phase::Ended) return kCameraIdle;
  runCommands();
  if (m_phase == Phase::Running && msUntil(m_heartbeatDueMs) <= 0) tickHeartbeat();
  bool underWay = false;
  bool delivering = false;
  {
    CSdkLockGuard lock(g_sdkLock);
    if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance())
      underWay = manager->stepOperations(kCameraSliceMs, delivering);
  }
  if (m_phase == Phase::Draining) {
    finishDrainWhenDone();
    if (m_phase == Phase::Ended) return kCameraIdle;
    m_busy = true;
    return delivering ? 0 : kCameraPollMs;
  }
  const bool queued = haveCommands();
  m_busy = underWay || queued;
  unsigned waitMs = WaitOf(msUntil(m_heartbeatDueMs));
  if (underWay) waitMs = std::min(waitMs, delivering ? 0 : kCameraPollMs);
  if (m_frontDueMs) {
    waitMs = std::min(waitMs, WaitOf(msUntil(*m_frontDueMs)));
  } else if (queued) {
    waitMs = 0;
  }
  return waitMs;
}

bool CCameraWorker::offerStandingReplies() {
  // Read before the queue is looked at: a request handed over later leaves the offer stale.
  const std::uint64_t handedOver = HandedOverRequestCount();
  if (m_phase != Phase::Running || haveCommands()) return false;
  CSdkLockGuard lock(g_sdkLock);
  ZnLuaTETable status;
  if (!LiveViewStatus(status)) return false;
  LeaveStandingReply("isLiveViewOn", "ok", &status, handedOver);
  return true;
}
