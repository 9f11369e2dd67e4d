#include "bridge/dispatcher.h"

#include <cstdlib>
#include <string>

#include "bridge/camera_commands.h"
#include "camera/camera/camera.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

// A command that always finishes in its one call.
template <void (*Handler)(std::uint32_t, const ZnLuaTE*)>
CommandResult Finishes(std::uint32_t requestId, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock) {
  Handler(requestId, params);
  return CommandResult::done();
}

CommandResult IgnoreCommand(std::uint32_t, const ZnLuaTE*) { return CommandResult::done(); }

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
CommandResult HandleToggleLiveViewCommand(std::uint32_t requestId, const ZnLuaTE*)
    LB_REQUIRES(g_sdkLock) {
  CCamera* camera = CurrentCamera();
  if (!camera) return CommandResult::done();
  if (camera->m_liveViewOn) {
    if (camera->stopLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
    return CommandResult::done();
  }
  CNikonModule* module = CNikonModuleManager::existingInstance()->m_currentModule;
  if (const unsigned waitMs = module->settingsSpacingLeftMs())
    return CommandResult::runAgainIn(waitMs);
  module->sendCameraSettingsNow();
  if (camera->startLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
  return CommandResult::done();
}

void HandleIsLiveViewOnCommand(std::uint32_t requestId, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  SendLiveViewStatus(requestId);
}

// The session ends: the worker lets the transfers under way finish and then closes the cameras.
CommandResult HandleShutdownCommand(std::uint32_t, const ZnLuaTE*) {
  return CommandResult::endSession();
}

CommandResult AnswerListDevices(std::uint32_t requestId, const ZnLuaTE*) LB_REQUIRES(g_sdkLock) {
  SendDeviceList(requestId);
  return CommandResult::done();
}

}  // namespace

const HostCommand kHostCommands[] = {
    {"listDevices", AnswerListDevices, CommandPlace::EveryModule, true, false, nullptr,
     AddListedCameras},
    {"getDeviceInfo", IgnoreCommand, CommandPlace::CameraThread},
    {"connectDevice", Finishes<ConnectOnDeviceModule>, CommandPlace::DeviceModule, true, true,
     Finishes<StopLiveViewForMove>},
    {"disconnectDevice", Finishes<HandleDisconnectDevice>, CommandPlace::CurrentModule, false,
     true},
    {"doCapture", Finishes<HandleDoCaptureCommand>, CommandPlace::CurrentModule},
    {"updateCameraSetting", Finishes<HandleUpdateCameraSetting>, CommandPlace::CurrentModule, true},
    {"downloadThumbnail", IgnoreCommand, CommandPlace::CameraThread},
    {"getCaptureInfo", IgnoreCommand, CommandPlace::CameraThread},
    {"startDownload", IgnoreCommand, CommandPlace::CameraThread},  // downloads start by themselves
    {"getCameraSettings", Finishes<SendCameraSettings>, CommandPlace::CurrentModule, true},
    {"shutdown", HandleShutdownCommand, CommandPlace::EndsSession},
    {"setCameraFocus", Finishes<HandleSetCameraFocusCommand>, CommandPlace::CurrentModule},
    {"doAutoFocus", Finishes<HandleDoAutoFocusCommand>, CommandPlace::CurrentModule, true},
    {"toggleLiveView", HandleToggleLiveViewCommand, CommandPlace::CurrentModule, true, true},
    {"isLiveViewOn", Finishes<HandleIsLiveViewOnCommand>, CommandPlace::CameraThread, true},
};
const std::size_t kHostCommandCount = sizeof kHostCommands / sizeof kHostCommands[0];

const HostCommand* FindHostCommand(const ZnLuaTE* name) {
  const auto* nameString = dynamic_cast<const ZnLuaTEString*>(name);
  if (!nameString) return nullptr;
  // std::string comparison matches length and every byte, so neither a prefix nor a name
  // with bytes after an embedded zero can pass for a command.
  const std::string text = nameString->getString();
  for (std::size_t i = 0; i < kHostCommandCount; ++i) {
    if (text == kHostCommands[i].name) return &kHostCommands[i];
  }
  return nullptr;
}

CommandResult RunCommandPart(HostCommandHandler part, std::uint32_t requestId,
                             const ZnLuaTE* params) {
  CSdkLockGuard lock(g_sdkLock);
  return part(requestId, params);
}
