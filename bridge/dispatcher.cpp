#include "bridge/dispatcher.h"

#include <cstdlib>
#include <string>

#include "bridge/camera_commands.h"
#include "camera/camera/camera.h"
#include "camera/camera_clock.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

std::atomic<int> g_shutdownRequested{0};

namespace {

std::atomic<HeartbeatStopHook> g_heartbeatStopHook{nullptr};

// Set by a handler through DispatchAgainLater; dispatcher's thread only.
bool g_dispatchAgain = false;
unsigned g_dispatchAgainMs = 0;

// How long "shutdown" lets the transfers under way finish before it closes the cameras anyway.
constexpr unsigned kShutdownDrainMs = 60000;
constexpr unsigned kShutdownPollMs = 10;

void IgnoreCommand(std::uint32_t, const ZnLuaTE*) {}

// The connected camera: the current module's current camera, or null when either is missing.
CCamera* CurrentCamera() LB_REQUIRES(g_sdkLock) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  return manager ? manager->currentCamera() : nullptr;
}

// A deliberate fault for testing the crash reporter end to end.
[[noreturn]] void CrashForTest() {
  Trace("Crash test marker present: faulting on purpose");
  volatile int* volatile nowhere = nullptr;
  *nowhere = 0;
  std::abort();
}

// Captures with the current camera; the files download by themselves inside the wait. Without
// one the host hears why no picture comes, as for a release the camera refuses.
void HandleDoCaptureCommand(std::uint32_t, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  CCamera* camera = CurrentCamera();
  if (!camera) {
    ReportCaptureWithoutCamera();
    return;
  }
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (manager && manager->m_crashTestRequested) CrashForTest();
  camera->capture();
}

// Drives the current camera's lens focus by "focus_direction".
void HandleSetCameraFocusCommand(std::uint32_t, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock) {
  if (CCamera* camera = CurrentCamera()) camera->driveFocus(params);
}

void HandleDoAutoFocusCommand(std::uint32_t requestId, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  DoAutoFocus(requestId);
}

// Stops live view when it is on; otherwise sends fresh settings first (the host shows them
// beside the live picture) and starts it. Both answer "ok" on success. Settings sent less than
// half a second ago are not sent again at once: the command waits for the spacing.
void HandleToggleLiveViewCommand(std::uint32_t requestId, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  CCamera* camera = CurrentCamera();
  if (!camera) return;
  if (camera->m_liveViewOn) {
    if (camera->stopLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
    return;
  }
  CNikonModule* module = CNikonModuleManager::existingInstance()->m_currentModule;
  if (const unsigned waitMs = module->settingsSpacingLeftMs()) {
    DispatchAgainLater(waitMs);
    return;
  }
  module->sendCameraSettingsNow();
  if (camera->startLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
}

void HandleIsLiveViewOnCommand(std::uint32_t requestId, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  SendLiveViewStatus(requestId);
}

// Stops the heartbeat first, so that no tick can reach the camera side while it is torn
// down. The releases still waiting for their completion, the transfers under way and waiting
// and the held files' names are let finish, for up to kShutdownDrainMs, so that every release
// and every announced file ends with its outcome before "shutdownComplete": a release is given
// up (and reported) only once nothing more can come of it, its camera gone or the drain's bound
// reached. Then the module manager is deleted with its modules and cameras.
void HandleShutdownCommand(std::uint32_t, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  static bool draining = false;
  static std::uint32_t drainStartMs = 0;
  if (!draining) {
    if (HeartbeatStopHook hook = g_heartbeatStopHook.load()) hook();
    draining = true;
    drainStartMs = CameraClockMs();
  }
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (manager && (manager->hasDownloads() || manager->hasReleases()) &&
      CameraClockMs() - drainStartMs < kShutdownDrainMs) {
    DispatchAgainLater(kShutdownPollMs);
    return;
  }
  if (manager) manager->abandonReleases("lensbridge shut down before the camera completed it");
  draining = false;
  ShutdownCameras();
  g_shutdownRequested.store(1);
}

}  // namespace

const HostCommand kHostCommands[] = {
    {"listDevices", HandleListDevices},
    {"getDeviceInfo", IgnoreCommand},
    {"connectDevice", HandleConnectDevice},
    {"disconnectDevice", HandleDisconnectDevice},
    {"doCapture", HandleDoCaptureCommand},
    {"updateCameraSetting", HandleUpdateCameraSetting},
    {"downloadThumbnail", IgnoreCommand},
    {"getCaptureInfo", IgnoreCommand},
    {"startDownload", IgnoreCommand},  // downloads start by themselves
    {"getCameraSettings", SendCameraSettings},
    {"shutdown", HandleShutdownCommand},
    {"setCameraFocus", HandleSetCameraFocusCommand},
    {"doAutoFocus", HandleDoAutoFocusCommand},
    {"toggleLiveView", HandleToggleLiveViewCommand},
    {"isLiveViewOn", HandleIsLiveViewOnCommand},
};
const std::size_t kHostCommandCount = sizeof kHostCommands / sizeof kHostCommands[0];

int DispatchHostMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params) {
  g_shutdownRequested.store(0);
  g_dispatchAgain = false;
  {
    CSdkLockGuard lock(g_sdkLock);
    const auto* nameString = dynamic_cast<const ZnLuaTEString*>(name);
    if (nameString) {
      // std::string comparison matches length and every byte, so neither a prefix nor a name
      // with bytes after an embedded zero can pass for a command.
      const std::string text = nameString->getString();
      for (std::size_t i = 0; i < kHostCommandCount; ++i) {
        if (text == kHostCommands[i].name) {
          kHostCommands[i].handler(requestId, params);
          break;
        }
      }
    }
  }
  if (g_dispatchAgain) return kDispatchAgainLater;
  return g_shutdownRequested.load();
}

void DispatchAgainLater(unsigned ms) {
  g_dispatchAgain = true;
  g_dispatchAgainMs = ms;
}

unsigned DispatchAgainDelayMs() { return g_dispatchAgainMs; }

void SetHeartbeatStopHook(HeartbeatStopHook hook) { g_heartbeatStopHook.store(hook); }
