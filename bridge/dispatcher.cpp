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

// A deliberate fault for testing the crash reporter end to end.
[[noreturn]] void CrashForTest() {
  Trace("Crash test marker present: faulting on purpose");
  volatile int* volatile nowhere = nullptr;
  *nowhere = 0;
  std::abort();
}

// Captures with the camera it is about; the files download by themselves in the steps that
// follow. Without one the host hears why no picture comes, as for a release the camera refuses.
void HandleDoCaptureCommand(std::uint32_t, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock) {
  CCamera* camera = AddressedCamera(params);
  if (!camera && NamesOneOfSeveral(params)) {
    const std::string description = "The picture was not taken: camera " +
                                    std::to_string(GetDeviceIdFromParams(params)) +
                                    " is not connected";
    SendErrorMessage(0, kNoCameraConnected, description.c_str());
    return;
  }
  if (!camera) {
    ReportCaptureWithoutCamera();
    return;
  }
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (manager && manager->m_crashTestRequested) CrashForTest();
  camera->capture();
}

// Drives the lens focus of the camera it is about by "focus_direction".
void HandleSetCameraFocusCommand(std::uint32_t, const ZnLuaTE* params) LB_REQUIRES(g_sdkLock) {
  if (CCamera* camera = AddressedCamera(params)) camera->driveFocus(params);
}

// Stops live view when it is on; otherwise sends fresh settings first (the host shows them
// beside the live picture) and starts it. Both answer "ok" on success. Settings sent less than
// half a second ago are not sent again at once: the command waits for the spacing.
// Another camera of several than the current one has no settings sent first: the host asked for
// them when it chose it.
CommandResult HandleToggleLiveViewCommand(std::uint32_t requestId, const ZnLuaTE* params)
    LB_REQUIRES(g_sdkLock) {
  CCamera* camera = AddressedCamera(params);
  if (!camera) {
    if (NamesOneOfSeveral(params)) SendNamedCameraNotConnected(requestId);
    return CommandResult::done();
  }
  if (camera->m_liveViewOn) {
    if (camera->stopLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
    return CommandResult::done();
  }
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (camera != manager->currentCamera()) {
    if (camera->startLiveView()) QueueMessageToHost(requestId, "ok", nullptr);
    return CommandResult::done();
  }
  CNikonModule* module = manager->m_currentModule;
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
     LetGoForConnect},
    {"disconnectDevice", Finishes<HandleDisconnectDevice>, CommandPlace::AddressedModule, false,
     true},
    {"doCapture", Finishes<HandleDoCaptureCommand>, CommandPlace::AddressedModule},
    {"doRigCapture", nullptr, CommandPlace::RigModules, true},
    {"updateCameraSetting", Finishes<HandleUpdateCameraSetting>, CommandPlace::AddressedModule,
     true},
    {"downloadThumbnail", IgnoreCommand, CommandPlace::CameraThread},
    {"getCaptureInfo", IgnoreCommand, CommandPlace::CameraThread},
    {"startDownload", IgnoreCommand, CommandPlace::CameraThread},  // downloads start by themselves
    {"getCameraSettings", Finishes<SendCameraSettings>, CommandPlace::AddressedModule, true},
    {"shutdown", HandleShutdownCommand, CommandPlace::EndsSession},
    {"setCameraFocus", Finishes<HandleSetCameraFocusCommand>, CommandPlace::AddressedModule},
    {"doAutoFocus", Finishes<DoAutoFocus>, CommandPlace::AddressedModule, true},
    {"toggleLiveView", HandleToggleLiveViewCommand, CommandPlace::AddressedModule, true, true},
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
