#include "hostlink/dispatcher.h"

#include <string>

#include "hostlink/lua_value.h"

std::mutex g_sdkMutex;
std::atomic<int> g_shutdownRequested{0};

namespace {

std::atomic<HeartbeatStopHook> g_heartbeatStopHook{nullptr};

void IgnoreCommand(std::uint32_t, const ZnLuaTE*) {}

// Camera commands. Each is filled in by the camera layer; until then the command is accepted
// and has no effect.

// Adds every camera of every module; new ones are announced with "deviceAdded".
void HandleListDevicesCommand(std::uint32_t, const ZnLuaTE*) {}
// Connects the camera named by "device_id" and makes its module current.
void HandleConnectDeviceCommand(std::uint32_t, const ZnLuaTE*) {}
// Releases the current camera of the current module.
void HandleDisconnectDeviceCommand(std::uint32_t, const ZnLuaTE*) {}
// Captures with the current camera; the files download by themselves.
void HandleDoCaptureCommand(std::uint32_t, const ZnLuaTE*) {}
// Changes one setting of the current camera, then answers like "getCameraSettings".
void HandleUpdateCameraSettingCommand(std::uint32_t, const ZnLuaTE*) {}
// Answers "ok" with the settings table of the camera named by "device_id", or an error.
void HandleGetCameraSettingsCommand(std::uint32_t, const ZnLuaTE*) {}
// Drives the current camera's lens focus by "focus_direction".
void HandleSetCameraFocusCommand(std::uint32_t, const ZnLuaTE*) {}
// Toggles contrast auto-focus and answers with the state before the change.
void HandleDoAutoFocusCommand(std::uint32_t, const ZnLuaTE*) {}
// Starts or stops live view on the current camera and answers "ok".
void HandleToggleLiveViewCommand(std::uint32_t, const ZnLuaTE*) {}
// Answers "ok" with the live-view status.
void HandleIsLiveViewOnCommand(std::uint32_t, const ZnLuaTE*) {}

// Stops the heartbeat first, so that no tick can reach the camera side while it is torn down.
// The camera layer adds here the deletion of the module manager with its modules and
// cameras; without one there is nothing else to release.
void HandleShutdownCommand(std::uint32_t, const ZnLuaTE*) {
  if (HeartbeatStopHook hook = g_heartbeatStopHook.load()) hook();
  g_shutdownRequested.store(1);
}

}  // namespace

const HostCommand kHostCommands[] = {
    {"listDevices", HandleListDevicesCommand},
    {"getDeviceInfo", IgnoreCommand},
    {"connectDevice", HandleConnectDeviceCommand},
    {"disconnectDevice", HandleDisconnectDeviceCommand},
    {"doCapture", HandleDoCaptureCommand},
    {"updateCameraSetting", HandleUpdateCameraSettingCommand},
    {"downloadThumbnail", IgnoreCommand},
    {"getCaptureInfo", IgnoreCommand},
    {"startDownload", IgnoreCommand},  // downloads start by themselves
    {"getCameraSettings", HandleGetCameraSettingsCommand},
    {"shutdown", HandleShutdownCommand},
    {"setCameraFocus", HandleSetCameraFocusCommand},
    {"doAutoFocus", HandleDoAutoFocusCommand},
    {"toggleLiveView", HandleToggleLiveViewCommand},
    {"isLiveViewOn", HandleIsLiveViewOnCommand},
};
const std::size_t kHostCommandCount = sizeof kHostCommands / sizeof kHostCommands[0];

int DispatchHostMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params) {
  g_shutdownRequested.store(0);
  {
    std::lock_guard<std::mutex> lock(g_sdkMutex);
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
  return g_shutdownRequested.load();
}

void SetHeartbeatStopHook(HeartbeatStopHook hook) { g_heartbeatStopHook.store(hook); }
