// CCamera: release, live view and focus.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/camera_clock.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "values/lua_value.h"
#include "values/shutter_speed.h"

namespace {

constexpr int kLiveViewOffAttempts = 5;
constexpr maid::ULONG kLiveViewOff = 0;

// The modules whose cameras take 3, not 1, to switch live view on.
bool UsesLiveViewValue3(const std::string& moduleType) {
  for (const char* type : {"Type0023", "Type0024", "Type0025", "Type0028", "Type0029"}) {
    if (moduleType == type) return true;
  }
  return false;
}

// Manual focus step sizes by the magnitude of the host's direction.
double FocusStepSize(std::int32_t direction) {
  const std::int64_t magnitude = std::llabs(static_cast<long long>(direction));
  if (magnitude == 1) return 500.0;
  if (magnitude == 2) return 1000.0;
  return 2000.0;
}

}  // namespace

std::uint32_t ExposureMsOfShutterSpeed(const std::string& text) {
  bool openEnded = false;
  const std::optional<double> seconds = ShutterSpeedSeconds(text, &openEnded);
  return seconds ? static_cast<std::uint32_t>(std::ceil(*seconds * 1000)) : 0;
}

bool CCamera::canRelease() const { return hasCapability(kNkMAIDCapability_Capture) && isOpen(); }

std::uint32_t CCamera::releaseExposureMs() {
  // A timed exposure adds its own length to the wait for the completion.
  std::string shutter;
  std::vector<std::string> speeds;
  if (hasCapability(kNkMAIDCapability_ShutterSpeed) &&
      getStringEnumValue(kNkMAIDCapability_ShutterSpeed, shutter, speeds) == 0)
    return ExposureMsOfShutterSpeed(shutter);
  return 0;
}

bool CCamera::capture(RigTag rig) {
  if (!canRelease()) return false;
  startRelease(releaseExposureMs(), rig);
  return true;
}

void CCamera::startRelease(std::uint32_t exposureMs, RigTag rig) {
  const std::uint32_t now = CameraClockMs();
  auto release = std::make_unique<CPendingRelease>(now, exposureMs, rig);
  // Before the start: a module may hand over the shot's items inside it.
  if (rig.rigShot != 0) m_rigShotsAwaitingFiles.push_back(rig.rigShot);
  const maid::NKERROR started =
      call(kNkMAIDCommand_CapStart, kNkMAIDCapability_Capture, kNkMAIDDataType_Null, 0,
           &NikonCompletionProc, release->record());
  // A refused release has nothing to wait for; the module keeps the record in case it
  // completes the refused start later anyway.
  if (started != kNkMAIDResult_NoError && started != kNkMAIDResult_Pending) {
    release->startRefused(started);
    endRelease(std::move(release), ReleaseEnd::Refused);
    return;
  }
  // The completion (and the new items, whose downloads the steps run) come in later polls.
  if (m_releases.empty()) m_lastPresenceCheckMs = now;
  m_releases.push_back(std::move(release));
  settleReleases(now);
}

void CCamera::reportRigRelease(const CPendingRelease& release, bool fired, int errorCode,
                               const std::string& description) {
  const RigTag& rig = release.rig();
  if (rig.rigShot == 0) return;
  RigReleaseEnd end;
  end.rigShot = rig.rigShot;
  end.deviceId = deviceId();
  end.started = true;
  end.startedMs = release.startMs() - rig.beganMs;
  end.fired = fired;
  end.firedMs = release.completedMs() - rig.beganMs;
  end.errorCode = errorCode;
  end.description = description;
  if (!fired) {
    // No files will come of it: the next shot is not its.
    auto waiting =
        std::find(m_rigShotsAwaitingFiles.begin(), m_rigShotsAwaitingFiles.end(), rig.rigShot);
    if (waiting != m_rigShotsAwaitingFiles.end()) m_rigShotsAwaitingFiles.erase(waiting);
  }
  CameraHost().rigReleaseEnded(end);
}

std::uint32_t CCamera::rigShotOf(CaptureShotId shot) {
  for (const auto& known : m_rigShotOfShot)
    if (known.first == shot) return known.second;
  std::uint32_t rigShot = 0;
  if (!m_rigShotsAwaitingFiles.empty()) {
    rigShot = m_rigShotsAwaitingFiles.front();
    m_rigShotsAwaitingFiles.pop_front();
  }
  constexpr std::size_t kRememberedShots = 8;
  m_rigShotOfShot.emplace_back(shot, rigShot);
  if (m_rigShotOfShot.size() > kRememberedShots) m_rigShotOfShot.pop_front();
  return rigShot;
}

void CCamera::reportLostShot(int errorCode, const std::string& description) {
  Trace("%s", description.c_str());
  CameraHost().shotLost(deviceId(), errorCode, description);
}

bool CCamera::startLiveView() {
  if (isOpen() && hasCapability(kNkMAIDCapability_LiveViewStatus)) {
    const maid::MaidCapInfo* info = capabilityInfo(kNkMAIDCapability_LiveViewStatus);
    if (info->ulType == kNkMAIDCapType_Integer || info->ulType == kNkMAIDCapType_Unsigned) {
      // A camera already in live view (or too busy to say) is switched off first, so the
      // switch-on below starts a fresh session.
      maid::ULONG status = 0;
      const int result = capGet(kNkMAIDCapability_LiveViewStatus, info->ulType + 3, &status);
      if (result == kNkMAIDResult_DeviceBusy || (result == 0 && status != 0)) {
        setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned,
                           kLiveViewOff);
      }
    }
  }
  const maid::ULONG onValue = UsesLiveViewValue3(m_moduleType) ? 3 : 1;
  if (!isOpen() || !hasCapability(kNkMAIDCapability_LiveViewStatus)) return false;
  if (setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned, onValue) != 0)
    return false;
  m_liveViewOn = true;
  return true;
}

bool CCamera::stopLiveView() {
  for (int attempt = 0; attempt < kLiveViewOffAttempts; ++attempt) {
    bool off = isOpen() && hasCapability(kNkMAIDCapability_LiveViewStatus) &&
               setCapabilityValue(kNkMAIDCapability_LiveViewStatus, kNkMAIDDataType_Unsigned,
                                  kLiveViewOff) == 0;
    if (!off) {
      // The set may be refused because live view has already ended by itself.
      maid::ULONG status = 1;
      off = getUnsignedValue(kNkMAIDCapability_LiveViewStatus, status) == 0 && status == 0;
    }
    if (off) {
      m_liveViewOn = false;
      return true;
    }
  }
  return false;
}

std::vector<unsigned char> CCamera::getLiveViewImage() {
  maid::MaidArray frame;
  std::memset(&frame, 0, sizeof frame);
  if (!isOpen()) {
    Trace("error while getting live view image capability %d", -1);
    return {};
  }
  if (!hasCapability(kNkMAIDCapability_GetLiveViewImage)) {
    Trace("error while getting live view image capability %d", kCapabilityNotFound);
    return {};
  }
  int result = capGet(kNkMAIDCapability_GetLiveViewImage, kNkMAIDDataType_ArrayPtr, &frame);
  if (result != 0) {
    Trace("error while getting live view image capability %d", result);
    return {};
  }
  // Only a frame that holds image data after its header is worth fetching; a descriptor of
  // absurd size (a live-view JPEG is well under a few megabytes) is a broken answer. Cameras
  // may count the frame in elements of 2 or 4 bytes: the frame is element size times count
  // bytes, the last element padded with zeros.
  const std::uint64_t frameBytes = std::uint64_t{frame.ulElements} * frame.wPhysicalBytes;
  constexpr std::uint64_t kMaxFrameBytes = 64u * 1024u * 1024u;
  if (frame.wPhysicalBytes == 0 || frameBytes <= m_liveViewHeaderSize ||
      frameBytes > kMaxFrameBytes) {
    Trace("error while getting live view image capability %d", -1);
    return {};
  }
  try {
    // The camera fills a buffer of ours unless its answer lent one of its own.
    std::vector<unsigned char> own(frame.pData ? 0 : static_cast<std::size_t>(frameBytes));
    if (!frame.pData) frame.pData = own.data();
    result = getArrayValue(kNkMAIDCapability_GetLiveViewImage, kNkMAIDDataType_ArrayPtr, &frame);
    if (result != 0) {
      Trace("error while getting live view image %d", result);
      return {};
    }
    const auto* image = static_cast<const unsigned char*>(frame.pData) + m_liveViewHeaderSize;
    return std::vector<unsigned char>(image, image + (frameBytes - m_liveViewHeaderSize));
  } catch (const std::bad_alloc&) {
    Trace("error while getting live view image %d", kNkMAIDResult_OutOfMemory);
    return {};
  }
}

void CCamera::driveFocus(const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  const ZnLuaTENumber* number = table ? table->getNumberValue("focus_direction") : nullptr;
  if (!number) return;
  // Truncated toward zero; a value outside 32 bits (or not finite) saturates rather than
  // being converted with undefined results.
  const double truncated = std::trunc(number->value());
  std::int32_t direction = 0;
  if (std::isnan(truncated)) {
    direction = 0;
  } else if (truncated >= 2147483647.0) {
    direction = 2147483647;
  } else if (truncated <= -2147483648.0) {
    direction = -2147483647 - 1;
  } else {
    direction = static_cast<std::int32_t>(truncated);
  }

  if (!isOpen() || !hasCapability(kNkMAIDCapability_MFDriveStep)) return;
  maid::MaidRange step;
  std::memset(&step, 0, sizeof step);
  if (capabilityInfo(kNkMAIDCapability_MFDriveStep)->ulType == kNkMAIDCapType_Range) {
    if (capGet(kNkMAIDCapability_MFDriveStep, kNkMAIDDataType_RangePtr, &step) != 0) return;
  }
  maid::ULONG focusMode = 0;
  if (!hasCapability(kNkMAIDCapability_FocusMode) ||
      capGet(kNkMAIDCapability_FocusMode, kNkMAIDDataType_UnsignedPtr, &focusMode) != 0)
    return;
  step.lfValue = FocusStepSize(direction);
  if (setCapabilityValue(kNkMAIDCapability_MFDriveStep, kNkMAIDDataType_RangePtr,
                         reinterpret_cast<maid::NKPARAM>(&step)) != 0)
    return;
  const maid::ULONG towardNear = direction < 0 ? 1 : 0;
  if (setCapabilityValue(kNkMAIDCapability_MFDrive, kNkMAIDDataType_Unsigned, towardNear) != 0)
    return;
  platform::sleepMs(0);
}

void CCamera::toggleAutoFocus() {
  if (!isOpen() || !hasCapability(kNkMAIDCapability_ContrastAF)) return;
  const maid::ULONG value = m_autoFocusOn ? 1 : 0;  // 0 starts, 1 stops
  if (setCapabilityValue(kNkMAIDCapability_ContrastAF, kNkMAIDDataType_Unsigned, value) == 0) {
    m_autoFocusOn = !m_autoFocusOn;
  }
}
