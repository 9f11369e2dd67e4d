#include "camera/sdkobject/completion_wait.h"

#include <algorithm>
#include <vector>

#include "camera/sdkobject/nikon_object.h"
#include "platform/platform.h"
#include "platform/trace.h"

namespace {

constexpr unsigned kAsyncPollMs = 10;

}  // namespace

bool SourceStillPresent(CNikonObject& object) {
  CNikonObject* source = &object;
  while (source->parent() && source->parent()->parent()) source = source->parent();
  CNikonObject* module = source->parent();
  if (!module) return true;  // a module, or an object under none
  if (!source->isOpen()) return false;

  std::vector<maid::ULONG> ids;
  if (module->enumerateChildren(ids) == 0 &&
      std::find(ids.begin(), ids.end(), source->id()) == ids.end()) {
    return false;
  }
  return !SaysItIsGone(*source);
}

bool SaysItIsGone(CNikonObject& source) {
  if (!source.hasCapability(kNkMAIDCapability_IsAlive)) return false;
  bool alive = true;
  const int result = source.getBoolValue(kNkMAIDCapability_IsAlive, alive);
  if (result == kNkMAIDResult_CameraNotFound) return true;
  return result == 0 && !alive;
}

WaitOutcome WaitForCompletion(CNikonObject& poller, const CPendingCompletion& completion,
                              unsigned inactivityMs) {
  std::uint32_t lastActivity = platform::tickCountMs();
  std::uint32_t lastCheck = lastActivity;
  std::uint64_t activity = SdkActivityCount();
  while (!completion.completed()) {
    const bool keepPolling = poller.pollAsync();
    if (completion.completed()) break;
    if (!keepPolling) return WaitOutcome::AsyncFailed;

    const std::uint32_t now = platform::tickCountMs();
    if (SdkActivityCount() != activity) {
      activity = SdkActivityCount();
      lastActivity = now;
    } else if (now - lastActivity >= inactivityMs) {
      Trace("Nothing arrived for %u ms; the wait ends", inactivityMs);
      return WaitOutcome::Inactive;
    }
    if (now - lastCheck >= kPresenceCheckMs) {
      lastCheck = now;
      if (!SourceStillPresent(poller)) {
        Trace("The camera is gone; the wait ends");
        return WaitOutcome::CameraGone;
      }
    }
    platform::sleepMs(kAsyncPollMs);
  }
  return WaitOutcome::Completed;
}
