#include "bridge/camera_worker.h"

#include <algorithm>

#include "bridge/camera_commands.h"
#include "bridge/dispatcher.h"
#include "camera/download/file_naming.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// The wait until a time `leftMs` away, never negative.
unsigned WaitOf(std::int32_t leftMs) {
  return static_cast<unsigned>(std::max<std::int32_t>(leftMs, 0));
}

// The module `moduleIndex` while it is open; null after "shutdown" or when it went.
CNikonModule* OpenModule(std::uint32_t moduleIndex) LB_REQUIRES(g_sdkLock) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  return manager ? manager->findModule(moduleIndex) : nullptr;
}

}  // namespace

CCameraWorker::CCameraWorker(CCameraWorkerDelegate& delegate, CameraClockSource clock,
                             CModuleLane::Mode lanes)
    : m_delegate(delegate), m_clock(clock), m_laneMode(lanes) {
  m_heartbeatDueMs = m_clock() + kHeartbeatPeriodMs;
}

CCameraWorker::~CCameraWorker() { stopLanes(); }

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

void CCameraWorker::makeLanes() {
  if (m_lanesMade) return;
  m_lanesMade = true;
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
    if (!manager) return;
    for (const auto& module : manager->m_modules) {
      if (module)
        m_lanes.push_back(
            std::make_unique<CModuleLane>(module->m_moduleIndex, m_laneMode, m_delegate, m_clock));
    }
  }
  // Posted without the lock: on this thread's lanes a job runs as it is posted.
  m_firstScansLeft = std::make_shared<std::atomic<std::size_t>>(m_lanes.size());
  m_firstScansPostedMs = m_clock();
  for (const auto& lane : m_lanes) {
    LaneJob job;
    const std::uint32_t moduleIndex = lane->moduleIndex();
    job.work = [moduleIndex, left = m_firstScansLeft]() LB_REQUIRES(g_sdkLock) {
      if (CNikonModule* module = OpenModule(moduleIndex)) AddListedCameras(*module);
      --*left;
      return CommandResult::done();
    };
    lane->post(std::move(job));
  }
}

bool CCameraWorker::firstScansUnderWay() const {
  return m_firstScansLeft && *m_firstScansLeft > 0 &&
         m_clock() - m_firstScansPostedMs < kFirstScanPatienceMs;
}

CModuleLane* CCameraWorker::laneOf(std::uint32_t moduleIndex) {
  for (const auto& lane : m_lanes)
    if (lane && lane->moduleIndex() == moduleIndex) return lane.get();
  return nullptr;
}

CModuleLane* CCameraWorker::addressedLane(const ZnLuaTE* params) {
  std::uint32_t moduleIndex = 0;
  {
    CSdkLockGuard lock(g_sdkLock);
    moduleIndex = AddressedModuleOf(params);
  }
  return moduleIndex ? laneOf(moduleIndex) : nullptr;
}

std::size_t CCameraWorker::pendingLaneJobs(PendingCount count, const CModuleLane* except) const {
  std::size_t pending = 0;
  for (const auto& lane : m_lanes)
    if (lane && lane.get() != except) pending += (lane.get()->*count)();
  return pending;
}

void CCameraWorker::stopLanes() {
  for (auto& lane : m_lanes) {
    if (!lane || lane->stop(kLaneStopPatienceMs)) continue;
    // Still inside a call of its module: the module stays open and the lane stays in memory
    // for the thread to come back to, however late.
    {
      CSdkLockGuard lock(g_sdkLock);
      if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance())
        manager->leaveModuleBehind(lane->moduleIndex());
    }
    CModuleLane::LeaveBehind(std::move(lane));
  }
  m_lanes.clear();
}

void CCameraWorker::cancel() {
  {
    CMutexLock lock(m_queueLock);
    m_commands.clear();
  }
  for (const auto& lane : m_lanes)
    if (lane) lane->dropQueued();
}

void CCameraWorker::closeCameras() {
  cancel();
  stopLanes();
  CSdkLockGuard lock(g_sdkLock);
  CNikonModuleManager::DestroyInstance(CNikonModuleManager::HeldFiles::Keep);
}

void CCameraWorker::postPart(CModuleLane& lane, HostCommandHandler part,
                             const SharedCommand& command, bool answers, bool ordersLater,
                             bool addressed) {
  LaneJob job;
  job.answers = answers;
  job.ordersLater = ordersLater;
  job.addressed = addressed;
  job.work = [part, command]()
                 LB_REQUIRES(g_sdkLock) { return part(command->requestId, command->params.get()); };
  lane.post(std::move(job));
}

// Each module's part runs on its lane, unless the lane is busy (inside a long call, it may be):
// that module's cameras are listed as they are known. The last part to run answers.
void CCameraWorker::postToEveryModule(const HostCommand& command, const SharedCommand& shared) {
  std::vector<CModuleLane*> free;
  for (const auto& lane : m_lanes)
    if (lane && lane->pendingJobs() == 0) free.push_back(lane.get());
  if (free.empty()) {
    RunCommandPart(command.handler, shared->requestId, shared->params.get());
    return;
  }
  // Counted down under the SDK lock, by the parts as they run.
  auto left = std::make_shared<std::size_t>(free.size());
  for (CModuleLane* lane : free) {
    LaneJob job;
    job.answers = true;
    const std::uint32_t moduleIndex = lane->moduleIndex();
    job.work = [&command, shared, left, moduleIndex]() LB_REQUIRES(g_sdkLock) {
      if (CNikonModule* module = OpenModule(moduleIndex)) command.perModule(*module);
      if (--*left > 0) return CommandResult::done();
      return command.handler(shared->requestId, shared->params.get());
    };
    lane->post(std::move(job));
  }
}

void CCameraWorker::postRigRelease(const SharedCommand& shared) {
  const RigTag rig{++m_lastRigShot, m_clock()};
  // Each module's cameras, in the order the host gave them; those of no lane are reported here.
  std::vector<std::pair<CModuleLane*, std::vector<std::uint32_t>>> parts;
  std::vector<std::uint32_t> laneless;
  {
    CSdkLockGuard lock(g_sdkLock);
    for (std::uint32_t deviceId : RigCameras(shared->params.get())) {
      CModuleLane* lane = laneOf(deviceId & 0xFF00);
      auto part = std::find_if(parts.begin(), parts.end(),
                               [lane](const auto& entry) { return entry.first == lane; });
      if (!lane) {
        laneless.push_back(deviceId);
      } else if (part == parts.end()) {
        parts.push_back({lane, {deviceId}});
      } else {
        part->second.push_back(deviceId);
      }
    }
    ReleaseRigCameras(laneless, rig);
    if (parts.empty()) SendRigShot(shared->requestId, rig.rigShot);
  }
  // Counted down under the SDK lock, by the parts as they run; the last one answers.
  auto left = std::make_shared<std::size_t>(parts.size());
  const std::uint32_t requestId = shared->requestId;
  for (auto& part : parts) {
    LaneJob job;
    job.answers = true;
    job.work = [devices = std::move(part.second), rig, left, requestId]() LB_REQUIRES(g_sdkLock) {
      ReleaseRigCameras(devices, rig);
      if (--*left == 0) SendRigShot(requestId, rig.rigShot);
      return CommandResult::done();
    };
    part.first->post(std::move(job));
  }
}

CCameraWorker::Routed CCameraWorker::route(const HostCommand& command, QueuedCommand& queued) {
  // What the commands ahead of it change may decide where it runs and what it reads.
  if (command.place != CommandPlace::EndsSession &&
      pendingLaneJobs(&CModuleLane::pendingOrderingJobs) > 0)
    return Routed::NotYet;
  // A command about a camera acts on the one it was routed for: which camera that is does not
  // change under it.
  if (command.ordersLater && pendingLaneJobs(&CModuleLane::pendingAddressedJobs) > 0)
    return Routed::NotYet;
  if (command.place == CommandPlace::EveryModule && firstScansUnderWay()) return Routed::NotYet;
  CModuleLane* lane = nullptr;  // where it runs; null: on this thread
  switch (command.place) {
    case CommandPlace::CameraThread:
    case CommandPlace::EndsSession:
    case CommandPlace::EveryModule:
    case CommandPlace::RigModules:
      break;
    case CommandPlace::AddressedModule:
      lane = addressedLane(queued.params.get());
      break;
    case CommandPlace::DeviceModule:
      lane = laneOf(DeviceModuleOf(queued.params.get()));
      break;
  }
  // An answer waits for the earlier ones still to come from other lanes; its own lane gives
  // them in order.
  if (command.answers && pendingLaneJobs(&CModuleLane::pendingAnsweringJobs, lane) > 0)
    return Routed::NotYet;

  const auto shared = std::make_shared<QueuedCommand>(std::move(queued));
  if (command.place == CommandPlace::EveryModule) {
    postToEveryModule(command, shared);
    return Routed::Yes;
  }
  if (command.place == CommandPlace::RigModules) {
    postRigRelease(shared);
    return Routed::Yes;
  }
  // The prelude lets go on the other modules what the command replaces on them: only on those
  // that have something to let go of, so that a module busy inside a long call holds nothing up.
  if (lane && command.prelude) {
    for (const auto& other : m_lanes) {
      if (!other || other.get() == lane) continue;
      {
        CSdkLockGuard lock(g_sdkLock);
        const CNikonModule* module = OpenModule(other->moduleIndex());
        if (!module || !HasCamerasToLetGo(*module)) continue;
      }
      LaneJob job;
      job.ordersLater = command.ordersLater;
      const std::uint32_t moduleIndex = other->moduleIndex();
      const auto prelude = command.prelude;
      job.work = [prelude, shared, moduleIndex]() LB_REQUIRES(g_sdkLock) {
        if (CNikonModule* module = OpenModule(moduleIndex))
          prelude(*module, shared->requestId, shared->params.get());
        return CommandResult::done();
      };
      other->post(std::move(job));
    }
  }
  if (lane) {
    postPart(*lane, command.handler, shared, command.answers, command.ordersLater,
             command.place == CommandPlace::AddressedModule);
    return Routed::Yes;
  }
  // No lane: the command calls no module (or finds none to call), and runs here.
  const CommandResult result =
      RunCommandPart(command.handler, shared->requestId, shared->params.get());
  if (result.kind == CommandResult::Kind::EndSession) startDrain(shared->requestId);
  return Routed::Yes;
}

void CCameraWorker::routeCommands() {
  const std::uint32_t start = m_clock();
  QueuedCommand queued;
  while (m_phase == Phase::Running && takeFront(queued)) {
    const HostCommand* command = FindHostCommand(queued.name.get());
    if (command && route(*command, queued) == Routed::NotYet) {
      putBackFront(std::move(queued));
      return;
    }
    // The rest wait for the next turn, after the long operations have had their slice.
    if (m_clock() - start >= kCommandBudgetMs) return;
  }
}

void CCameraWorker::startDrain(std::uint32_t shutdownRequestId) {
  // Whatever the host sent after "shutdown" is never run; what the lanes still have of the
  // commands before it runs. The heartbeat stops with the phase.
  {
    CMutexLock lock(m_queueLock);
    m_commands.clear();
  }
  m_phase = Phase::Draining;
  m_drainStartMs = m_clock();
  m_shutdownRequestId = shutdownRequestId;
}

// The commands sent before "shutdown", the releases still waiting for their completion, the
// transfers under way and waiting and the held files' names are let finish, for up to
// kShutdownDrainMs, so that every reply goes out and every release and announced file ends
// with its outcome before "shutdownComplete": a release is given up (and reported) only once
// nothing more can come of it, its camera gone or the bound reached.
void CCameraWorker::finishDrainWhenDone() {
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
    const bool underWay = pendingLaneJobs(&CModuleLane::pendingJobs) > 0 ||
                          (manager && (manager->hasDownloads() || manager->hasReleases()));
    if (underWay && m_clock() - m_drainStartMs < kShutdownDrainMs) return;
  }
  stopLanes();
  {
    CSdkLockGuard lock(g_sdkLock);
    if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance())
      manager->abandonReleases("lensbridge shut down before the camera completed it");
    ShutdownCameras();
  }
  m_phase = Phase::Ended;
  cancel();
  m_delegate.endHostSession(m_shutdownRequestId);
}

void CCameraWorker::tickHeartbeat() {
  m_heartbeatDueMs = m_clock() + kHeartbeatPeriodMs;
  // A lane still busy skips this tick: a module inside a long call gets no pile of pumps.
  for (const auto& lane : m_lanes) {
    if (!lane || lane->pendingJobs() > 0) continue;
    LaneJob job;
    const std::uint32_t moduleIndex = lane->moduleIndex();
    job.work = [moduleIndex]() LB_REQUIRES(g_sdkLock) {
      if (CNikonModule* module = OpenModule(moduleIndex))
        CNikonModuleManager::existingInstance()->pumpModule(*module);
      return CommandResult::done();
    };
    lane->post(std::move(job));
  }
}

unsigned CCameraWorker::runTurn() {
  m_busy = false;
  if (m_phase == Phase::Ended) return kCameraIdle;
  makeLanes();
  routeCommands();
  if (m_phase == Phase::Running && msUntil(m_heartbeatDueMs) <= 0) tickHeartbeat();
  unsigned laneWaitMs = kCameraIdle;
  bool underWay = false;
  bool delivering = false;
  bool watching = false;  // a rig release due to fire
  if (m_laneMode == CModuleLane::Mode::CameraThread) {
    for (const auto& lane : m_lanes)
      if (lane) laneWaitMs = std::min(laneWaitMs, lane->runDueJobs());
    CSdkLockGuard lock(g_sdkLock);
    if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance()) {
      underWay = manager->stepOperations(kCameraSliceMs, delivering);
      watching = underWay && manager->wantsCloseWatch(nullptr);
    }
  } else {
    // The lanes step their cameras themselves; the files waiting for their names are here.
    CSdkLockGuard lock(g_sdkLock);
    underWay = StepHeldFiles();
  }
  if (m_phase == Phase::Draining) {
    finishDrainWhenDone();
    if (m_phase == Phase::Ended) return kCameraIdle;
    m_busy = true;
    return delivering ? 0 : kCameraPollMs;
  }
  const bool queued = haveCommands();
  const bool lanesBusy = pendingLaneJobs(&CModuleLane::pendingJobs) > 0;
  m_busy = underWay || queued || lanesBusy;
  unsigned waitMs = std::min(WaitOf(msUntil(m_heartbeatDueMs)), laneWaitMs);
  if (underWay) waitMs = std::min(waitMs, delivering ? 0 : kCameraPollMs);
  if (watching) waitMs = std::min(waitMs, kCloseWatchPollMs);
  // A command held back by one ahead of it is routed once that one has run, which wakes this
  // thread when the lanes have threads of their own; on this thread it is the lanes' wait.
  if (queued && !lanesBusy) waitMs = 0;
  // A listing held back for the first scans goes ahead once the patience is over.
  if (queued && firstScansUnderWay())
    waitMs = std::min(waitMs, kFirstScanPatienceMs - (m_clock() - m_firstScansPostedMs));
  return waitMs;
}

bool CCameraWorker::offerStandingReplies() {
  // Read before the queue is looked at: a request handed over later leaves the offer stale.
  const std::uint64_t handedOver = HandedOverRequestCount();
  // A lane's job under way may change the answer (a live view switched, a camera found gone).
  if (m_phase != Phase::Running || haveCommands() || pendingLaneJobs(&CModuleLane::pendingJobs) > 0)
    return false;
  CSdkLockGuard lock(g_sdkLock);
  ZnLuaTETable status;
  if (!LiveViewStatus(status)) return false;
  LeaveStandingReply("isLiveViewOn", "ok", &status, handedOver);
  return true;
}
