// CCamera: the long operations, continued step by step on the camera thread: a release waiting
// for its completion and the downloads of the camera's new items, one after the other.
#include <string>

#include "camera/camera/camera.h"
#include "camera/camera_clock.h"
#include "camera/download/content_container.h"
#include "camera/sdkobject/maid_names.h"
#include "camera/sdkobject/source_presence.h"
#include "platform/trace.h"

bool CCamera::step(unsigned sliceMs, bool& delivering, const std::function<bool()>& yieldNow) {
  const std::uint32_t sliceStart = CameraClockMs();
  std::uint32_t now = sliceStart;
  for (;;) {
    const std::uint64_t activity = SdkActivityCount();
    if (!m_download && !m_waitingDownloads.empty()) {
      CContentContainer* next = m_waitingDownloads.front();
      m_waitingDownloads.pop_front();
      if (next->startDownload()) {
        m_download = next;
      } else {
        destroyChild(next);
      }
    }
    if (m_download) m_download->pollTransfer();
    // A download's polls deliver the camera's events too; the camera is asked itself only
    // while its release waits, as the release's own poll.
    if (!m_releases.empty() && !pollAsync()) endReleases(ReleaseEnd::CameraSilent);
    now = CameraClockMs();
    settleReleases(now);
    if (m_download && m_download->downloadEnded()) {
      destroyChild(m_download);
      m_download = nullptr;
    }
    if ((!m_releases.empty() || m_download) && now - m_lastPresenceCheckMs >= kPresenceCheckMs) {
      m_lastPresenceCheckMs = now;
      if (!SourceStillPresent(*this)) {
        // The rescan reports the camera's removal; the release and the file under way are lost
        // with it, and each is reported, as no rescan comes once "shutdown" has begun.
        Trace("The camera is gone; its release and transfer end");
        endReleases(ReleaseEnd::CameraGone);
        if (m_download)
          m_download->cutOff(kNkMAIDResult_CameraNotFound,
                             "the camera was lost during the transfer");
      }
    }
    // While the camera delivers, it is asked again at once, for the length of the slice; the
    // caller serves the host in between slices, or at once when it has work waiting.
    if (SdkActivityCount() == activity || !hasDownloads()) break;
    if (CameraClockMs() - sliceStart >= sliceMs || (yieldNow && yieldNow())) {
      delivering = true;
      break;
    }
  }
  return !m_releases.empty() || hasDownloads();
}

bool CCamera::hasRigReleases() const {
  for (const auto& release : m_releases)
    if (release->rig().rigShot != 0) return true;
  return false;
}

bool CCamera::wantsCloseWatch(std::uint32_t nowMs) const {
  for (const auto& release : m_releases)
    if (release->wantsCloseWatch(nowMs)) return true;
  return false;
}

void CCamera::settleReleases(std::uint32_t nowMs) {
  for (auto it = m_releases.begin(); it != m_releases.end();) {
    // Only the release's own completion counts: files that arrive meanwhile may be another
    // shot's (the camera's own button), so they neither end nor extend its bound.
    const bool completed = (*it)->completed();
    if (!completed && !(*it)->overdue(nowMs)) {
      ++it;
      continue;
    }
    std::unique_ptr<CPendingRelease> release = std::move(*it);
    it = m_releases.erase(it);
    endRelease(std::move(release), completed ? ReleaseEnd::Completed : ReleaseEnd::Overdue);
  }
}

void CCamera::endRelease(std::unique_ptr<CPendingRelease> release, ReleaseEnd reason,
                         const std::string& why) {
  if (release->completed()) reason = ReleaseEnd::Completed;
  std::string lost;  // why no picture came
  switch (reason) {
    case ReleaseEnd::Refused:
    case ReleaseEnd::Completed: {
      const maid::NKERROR result = release->result();
      if (result == kNkMAIDResult_NoError) {
        reportRigRelease(*release, true, 0, {});
        return;
      }
      const std::string refused = std::string("The camera refused to take the picture: ") +
                                  ResultName(result) + " (" + std::to_string(result) + ")";
      reportRigRelease(*release, false, result, refused);
      reportLostShot(result, refused);
      return;
    }
    case ReleaseEnd::Overdue:
      lost =
          "the camera sent nothing for it in " + std::to_string(release->boundMs() / 1000) + " s";
      break;
    case ReleaseEnd::CameraSilent:
      lost = "the camera stopped answering";
      break;
    case ReleaseEnd::CameraGone:
      lost = "the camera went before it completed it";
      break;
    case ReleaseEnd::Abandoned:
      lost = why;
      break;
  }
  const std::string description = "The release did not come back: " + lost;
  reportRigRelease(*release, false, kReleaseNotEnded, description);
  reportLostShot(kReleaseNotEnded, description);
}

void CCamera::endReleases(ReleaseEnd reason, const std::string& why) {
  // Taken out first: the host hears of each with the camera's list already empty.
  std::deque<std::unique_ptr<CPendingRelease>> ending;
  ending.swap(m_releases);
  for (auto& release : ending) endRelease(std::move(release), reason, why);
}

void CCamera::dropDownloads() {
  std::deque<CContentContainer*> doomed;
  doomed.swap(m_waitingDownloads);
  if (m_download) doomed.push_front(m_download);
  m_download = nullptr;
  for (CContentContainer* container : doomed) {
    container->letGo();
    destroyChild(container);
  }
}
