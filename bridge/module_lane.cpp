#include "bridge/module_lane.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "platform/trace.h"

CModuleLane::CModuleLane(std::uint32_t moduleIndex, Mode mode, CCameraWorkerDelegate& worker,
                         CameraClockSource clock)
    : m_moduleIndex(moduleIndex), m_mode(mode), m_worker(worker), m_clock(clock) {
  if (m_mode == Mode::OwnThread) m_thread = std::thread([this] { runThread(); });
}

CModuleLane::~CModuleLane() { stop(kLaneStopPatienceMs); }

void CModuleLane::counted(const LaneJob& job, int by) {
  const auto count = [by](std::atomic<std::size_t>& pending) {
    if (by > 0)
      ++pending;
    else
      --pending;
  };
  count(m_pending);
  if (job.answers) count(m_pendingAnswering);
  if (job.ordersLater) count(m_pendingOrdering);
  if (job.addressed) count(m_pendingAddressed);
}

void CModuleLane::post(LaneJob job) {
  counted(job, 1);
  {
    CMutexLock lock(m_queueLock);
    m_jobs.push_back(std::move(job));
  }
  if (m_mode == Mode::OwnThread) {
    m_wake.raise();
  } else {
    runDueJobs();
  }
}

unsigned CModuleLane::runDueJobs() {
  const std::uint32_t start = m_clock();
  for (;;) {
    LaneJob job;
    {
      CMutexLock lock(m_queueLock);
      if (m_jobs.empty()) return kCameraIdle;
      LaneJob& front = m_jobs.front();
      if (front.dueMs) {
        const auto leftMs = static_cast<std::int32_t>(*front.dueMs - m_clock());
        if (leftMs > 0) return static_cast<unsigned>(leftMs);
      }
      job = std::move(front);
      m_jobs.pop_front();
    }
    CommandResult result;
    {
      CSdkLockGuard lock(g_sdkLock);
      result = job.work();
    }
    if (result.kind == CommandResult::Kind::RunAgainLater) {
      job.dueMs = m_clock() + result.delayMs;
      CMutexLock lock(m_queueLock);
      m_jobs.push_front(std::move(job));
      continue;  // the loop returns its wait, or runs it when the delay was none
    }
    counted(job, -1);
    if (m_mode == Mode::OwnThread) m_worker.wakeCameraThread();
    if (m_clock() - start >= kCommandBudgetMs) return 0;
  }
}

void CModuleLane::dropQueued() {
  std::deque<LaneJob> dropped;
  {
    CMutexLock lock(m_queueLock);
    dropped.swap(m_jobs);
  }
  for (const LaneJob& job : dropped) counted(job, -1);
}

void CModuleLane::runThread() {
  while (!m_stopping.load()) {
    unsigned waitMs = runDueJobs();
    bool delivering = false;
    bool underWay = false;
    bool watching = false;
    {
      CSdkLockGuard lock(g_sdkLock);
      CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
      if (CNikonModule* module = manager ? manager->findModule(m_moduleIndex) : nullptr) {
        underWay = manager->stepModuleOperations(*module, kCameraSliceMs, delivering,
                                                 [this] { return pendingJobs() > 0; });
        watching = underWay && manager->wantsCloseWatch(module);
      }
    }
    if (underWay) waitMs = std::min(waitMs, delivering ? 0u : kCameraPollMs);
    if (watching) waitMs = std::min(waitMs, kCloseWatchPollMs);
    if (waitMs > 0 && !m_stopping.load()) m_wake.wait(std::min(waitMs, kHeartbeatPeriodMs));
  }
  std::lock_guard<std::mutex> lock(m_exitLock);
  m_hasExited = true;
  m_exited.notify_all();
}

bool CModuleLane::stop(unsigned patienceMs) {
  if (!m_thread.joinable()) return true;
  m_stopping = true;
  m_wake.raise();
  // The patience is counted on the camera clock, as every other bound of the camera side.
  const std::uint32_t start = m_clock();
  bool exited = false;
  {
    std::unique_lock<std::mutex> lock(m_exitLock);
    while (!(exited = m_hasExited) && m_clock() - start < patienceMs)
      m_exited.wait_for(lock, std::chrono::milliseconds(kCameraPollMs));
  }
  if (exited) {
    m_thread.join();
    return true;
  }
  Trace("The lane of module %u is still inside a call of its module; it is left behind",
        static_cast<unsigned>(m_moduleIndex >> 8));
  m_thread.detach();
  return false;
}

void CModuleLane::LeaveBehind(std::unique_ptr<CModuleLane> lane) {
  // Never destroyed: its thread comes back to it whenever the module's call returns.
  static auto* leftBehind = new std::vector<std::unique_ptr<CModuleLane>>;
  leftBehind->push_back(std::move(lane));
}
