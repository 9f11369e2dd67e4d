// CPendingRelease: one release the camera has taken and not yet completed: its completion
// record, its start and its exposure time, on the camera layer's clock. A camera may take
// a second release before the first has completed (it queues it); each has its own. Every
// release ends through CCamera::endRelease, with the reason it ends for (ReleaseEnd).
//
// Ownership: owned by its camera's list of pending releases. When it goes before its
// completion came, its record stays with the module (CPendingCompletion), cut off from it.
//
// Threads: the camera thread, with the SDK lock held; the completion arrives inside an SDK
// call there.
#pragma once

#include <cstdint>

#include "camera/camera_clock.h"
#include "camera/maid/maid.h"
#include "camera/sdkobject/nikon_object.h"

// Why a release ends; each reason has its one report to the host (CCamera::endRelease). A
// release whose completion came ends as Completed, whatever else was going on.
enum class ReleaseEnd {
  Refused,       // the camera refused the start
  Completed,     // the completion came; the host hears of it only when it says no picture came
  Overdue,       // no completion within its bound
  CameraSilent,  // Async failed while it waited: the camera stopped answering
  CameraGone,    // the camera went before it completed it
  Abandoned,     // lensbridge let go of it first (the process ends)
};

// A release that is one camera's part of a rig release: the rig shot, and the camera clock at
// the moment the rig release began, from which its times are counted.
struct RigTag {
  std::uint32_t rigShot = 0;
  std::uint32_t beganMs = 0;
};

// How long after its exposure a rig release's completion is watched for closely (its camera
// asked at once, again and again), so that the time it fired is known to the millisecond: a
// body fires within tens of milliseconds, and one that takes longer is timed as before.
constexpr std::uint32_t kRigCloseWatchMs = 500;

class CPendingRelease final : public CNikonCallbackReceiver {
 public:
  CPendingRelease(std::uint32_t startMs, std::uint32_t exposureMs, RigTag rig = {})
      : m_completion(this), m_startMs(startMs), m_exposureMs(exposureMs), m_rig(rig) {}

  // The completion reference for the release's CapStart.
  maid::NKREF record() const { return m_completion.record(); }
  bool completed() const { return m_completion.completed(); }
  // The camera's answer: its refusal of the start, or once completed the completion's result
  // (0: the picture was taken).
  maid::NKERROR result() const { return m_result; }
  void startRefused(maid::NKERROR result) { m_result = result; }
  // How long the completion may take: its exposure time plus CNikonObject::startTimeoutMs().
  std::uint32_t boundMs() const { return CNikonObject::startTimeoutMs() + m_exposureMs; }
  bool overdue(std::uint32_t nowMs) const { return nowMs - m_startMs >= boundMs(); }
  // The rig release it is part of; a rig shot 0 for any other release.
  const RigTag& rig() const { return m_rig; }
  std::uint32_t startMs() const { return m_startMs; }
  // The camera clock when the completion came.
  std::uint32_t completedMs() const { return m_completedMs; }
  // Whether its camera is to be asked again at once: a rig release due to fire.
  bool wantsCloseWatch(std::uint32_t nowMs) const {
    const std::uint32_t sinceStart = nowMs - m_startMs;
    return m_rig.rigShot != 0 && !completed() && sinceStart >= m_exposureMs &&
           sinceStart - m_exposureMs < kRigCloseWatchMs;
  }

  void onCompletion(maid::ULONG, maid::NKERROR result, maid::NKPARAM) override {
    m_result = result;
    m_completedMs = CameraClockMs();
  }
  maid::NKERROR onData(void*, void*) override { return 0; }
  void onEvent(maid::ULONG, maid::NKPARAM) override {}

 private:
  CPendingCompletion m_completion;
  std::uint32_t m_startMs;
  std::uint32_t m_exposureMs;
  RigTag m_rig;
  std::uint32_t m_completedMs = 0;
  maid::NKERROR m_result = 0;
};
