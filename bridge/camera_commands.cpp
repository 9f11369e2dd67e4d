#include "bridge/camera_commands.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

constexpr std::uint32_t kModulePartMask = 0xFF00;
constexpr std::uint32_t kCameraPartMask = 0xFF;

CNikonModule* FindModuleTraced(CNikonModuleManager* manager, std::uint32_t modulePart)
    LB_REQUIRES(g_sdkLock) {
  CNikonModule* module = manager->findModule(modulePart);
  if (!module) Trace("could not find module id %ld", static_cast<long>(modulePart));
  return module;
}

// A camera that is let go of must not keep streaming: nobody would fetch its frames, and
// after a reconnect the host would find live view on without having asked for it.
void StopLiveViewOf(CCamera* camera) LB_REQUIRES(g_sdkLock) {
  if (camera && camera->m_liveViewOn && !camera->stopLiveView())
    Trace("Live view of camera %u could not be switched off", camera->m_cameraId);
}

// Switches off the live view of every connected camera of `module` and lets go of all but its
// current camera: those the host held there as a rig.
void LetGoOfRigCamerasOn(CNikonModule& module) LB_REQUIRES(g_sdkLock) {
  for (const auto& entry : module.m_cameras) {
    CCamera* camera = entry.second;
    if (!camera || camera->lifetime() != CameraLifetime::Connected) continue;
    StopLiveViewOf(camera);
    if (camera != module.m_currentCamera) camera->disconnect();
  }
}

// Whether a "connectDevice" keeps the cameras connected before: "keep_connected" is there and
// is not the number 0.
bool KeepsConnected(const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  const ZnLuaTE* keep = table ? table->getValue("keep_connected") : nullptr;
  if (!keep || dynamic_cast<const ZnLuaTENil*>(keep)) return false;
  const auto* number = dynamic_cast<const ZnLuaTENumber*>(keep);
  return !number || number->getNumber() != 0;
}

// Lets camera `deviceId` of several go; when it was the current camera, the one connected
// last of the others becomes current.
void DisconnectOneOfSeveral(CNikonModuleManager& manager, std::uint32_t deviceId)
    LB_REQUIRES(g_sdkLock) {
  CCamera* camera = manager.connectedCamera(deviceId);
  manager.forgetConnected(deviceId);
  if (!camera) return;
  StopLiveViewOf(camera);
  CNikonModule* module = camera->module();
  if (module && module->m_currentCamera == camera) {
    module->disconnectCamera();
  } else {
    camera->disconnect();
  }
  if (manager.currentCamera()) return;
  const std::vector<std::uint32_t> others = manager.connectedDevices();
  if (others.empty()) return;
  CCamera* next = manager.connectedCamera(others.back());
  manager.m_currentModule = next->module();
  next->module()->m_currentCamera = next;
}

}  // namespace

void SendErrorMessage(std::uint32_t requestId, int errorCode, const char* description) {
  Trace("SendErrorMessage - error code: %x, message: %s", static_cast<unsigned>(errorCode),
        description ? description : "null");
  ZnLuaTETable table;
  table.setNumber("error_code", errorCode);
  if (description) table.setString("error_description", description);
  QueueMessageToHost(requestId, "error", &table);
}

void SendNamedCameraNotConnected(std::uint32_t requestId) {
  SendErrorMessage(requestId, kNoCameraConnected, "Camera specified was not connected");
}

void DoAutoFocus(std::uint32_t requestId, const ZnLuaTE* params) {
  CCamera* camera = AddressedCamera(params);
  if (!camera) {
    if (NamesOneOfSeveral(params)) SendNamedCameraNotConnected(requestId);
    return;
  }
  ZnLuaTETable table;
  table.setString("status", camera->m_autoFocusOn ? "AutoFocusOn" : "AutoFocusOff");
  QueueMessageToHost(requestId, "ok", &table);
  camera->toggleAutoFocus();
}

bool LiveViewStatus(ZnLuaTETable& status) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  CNikonModule* module = manager ? manager->m_currentModule : nullptr;
  if (!module) return false;
  CCamera* camera = module->m_currentCamera;
  status.setString("status", camera && camera->m_liveViewOn ? "liveViewOn" : "liveViewOff");
  return true;
}

void SendLiveViewStatus(std::uint32_t requestId) {
  ZnLuaTETable table;
  if (LiveViewStatus(table)) QueueMessageToHost(requestId, "ok", &table);
}

void ReportCaptureWithoutCamera() {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  CNikonModule* module = manager ? manager->m_currentModule : nullptr;
  const std::string description =
      module && !module->m_connectedCameraGone.empty()
          ? "The picture was not taken: the connected camera " + module->m_connectedCameraGone +
                " is gone; connect it again"
          : std::string("The picture was not taken: no camera is connected");
  SendErrorMessage(0, kNoCameraConnected, description.c_str());
}

int GetDeviceIdFromParams(const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  return table ? DeviceIdOfValue(table->getValue("device_id")) : 0;
}

int DeviceIdOfValue(const ZnLuaTE* item) {
  const auto* number = dynamic_cast<const ZnLuaTENumber*>(item);
  if (!number) return 0;
  // Converting a value outside the 32-bit range (or NaN) would be undefined; such an id
  // names no camera, so it becomes 0 like a missing one.
  const double value = std::trunc(number->getNumber());
  if (!std::isfinite(value) || value < -2147483648.0 || value > 2147483647.0) return 0;
  return static_cast<int>(value);
}

void AddListedCameras(CNikonModule& module) {
  std::vector<maid::ULONG> ids;
  module.enumerateChildren(ids);
  for (maid::ULONG id : ids) module.addCamera(id);
}

void SendDeviceList(std::uint32_t requestId) {
  // After "shutdown" there are no modules: the list is empty, and nothing loads them anew.
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  const std::vector<std::unique_ptr<CNikonModule>> none;
  const auto& modules = manager ? manager->m_modules : none;
  // The reply lists every camera known now, so a host that missed (or never asked for) the
  // "deviceAdded" notifications still learns what is connected.
  auto devices = std::make_unique<ZnLuaTETable>();
  int position = 0;
  for (const auto& module : modules) {
    if (!module) continue;
    for (const auto& entry : module->m_cameras) {
      if (!entry.second) continue;
      CCamera* camera = entry.second;
      devices->setValue(std::make_unique<ZnLuaTENumber>(++position),
                        MakeDeviceInfoTable(module->deviceIdOf(camera), camera->m_name));
    }
  }
  ZnLuaTETable reply;
  reply.set("devices", std::move(devices));
  QueueMessageToHost(requestId, "ok", &reply);
}

void HandleListDevices(std::uint32_t requestId, const ZnLuaTE*) {
  if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance()) {
    for (const auto& module : manager->m_modules)
      if (module) AddListedCameras(*module);
  }
  SendDeviceList(requestId);
}

std::uint32_t DeviceModuleOf(const ZnLuaTE* params) {
  return static_cast<std::uint32_t>(GetDeviceIdFromParams(params)) & kModulePartMask;
}

void LetGoForConnect(CNikonModule& module, std::uint32_t requestId, const ZnLuaTE* params) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager || requestId == 0) return;  // a request without an id connects nothing
  const std::uint32_t target = DeviceModuleOf(params);
  if (module.m_moduleIndex == target || !manager->findModule(target) || KeepsConnected(params))
    return;
  // This module's current camera stays connected to the SDK, as it always has, with its live
  // view off.
  LetGoOfRigCamerasOn(module);
}

bool HasCamerasToLetGo(const CNikonModule& module) {
  for (const auto& entry : module.m_cameras) {
    const CCamera* camera = entry.second;
    if (camera && (camera->m_liveViewOn || (camera != module.m_currentCamera &&
                                            camera->lifetime() == CameraLifetime::Connected)))
      return true;
  }
  return false;
}

void ConnectOnDeviceModule(std::uint32_t requestId, const ZnLuaTE* params) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return;
  std::uint32_t deviceId = 0;
  if (requestId != 0) deviceId = static_cast<std::uint32_t>(GetDeviceIdFromParams(params));
  const std::uint32_t modulePart = deviceId & kModulePartMask;
  const std::uint32_t cameraPart = deviceId & kCameraPartMask;
  const bool keep = KeepsConnected(params);

  CNikonModule* found = FindModuleTraced(manager, modulePart);
  if (!found) return;

  if (CNikonModule* current = manager->m_currentModule) {
    const std::uint32_t currentCameraId =
        current->m_currentCamera ? current->m_currentCamera->m_cameraId : 0;
    if (current->m_moduleIndex == modulePart && cameraPart == currentCameraId) {
      Trace("camera was already connected - id: %d", static_cast<int>(deviceId));
      // A host building a rig is told so; one connecting a camera at a time never was.
      if (keep) QueueMessageToHost(requestId, "ok", nullptr);
      return;
    }
    if (!keep) {
      LetGoOfRigCamerasOn(*found);
      found->disconnectCamera();
    }
  }
  const CNikonModule::Others others =
      keep ? CNikonModule::Others::StayConnected : CNikonModule::Others::LetGo;
  const bool connected = found->connectCamera(cameraPart, others) == 0;
  if (!keep) manager->m_connected.clear();
  if (!connected) {
    SendErrorMessage(requestId, -1, nullptr);
  } else {
    if (requestId != 0) QueueMessageToHost(requestId, "ok", nullptr);
    manager->forgetConnected(deviceId);  // it goes to the end: connected last
    manager->m_connected.push_back(deviceId);
    found->sendCameraSettingsSoon();
  }
  manager->m_currentModule = found;
}

void HandleConnectDevice(std::uint32_t requestId, const ZnLuaTE* params) {
  if (CNikonModuleManager* manager = CNikonModuleManager::existingInstance()) {
    for (const auto& module : manager->m_modules)
      if (module) LetGoForConnect(*module, requestId, params);
  }
  ConnectOnDeviceModule(requestId, params);
}

void HandleDisconnectDevice(std::uint32_t requestId, const ZnLuaTE* params) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return;
  if (NamesOneOfSeveral(params)) {
    DisconnectOneOfSeveral(*manager, static_cast<std::uint32_t>(GetDeviceIdFromParams(params)));
    return;
  }
  const std::uint32_t deviceId = static_cast<std::uint32_t>(GetDeviceIdFromParams(params));
  const std::uint32_t modulePart = deviceId & kModulePartMask;
  const std::uint32_t cameraPart = deviceId & kCameraPartMask;
  if (!FindModuleTraced(manager, modulePart)) return;

  CNikonModule* current = manager->m_currentModule;
  if (!current || !current->m_currentCamera || current->m_currentCamera->m_cameraId == 0) return;
  CCamera* camera = current->m_currentCamera;
  if (current->m_moduleIndex != modulePart || camera->m_cameraId != cameraPart) {
    Trace(
        "disconnectDevice message received, but the id (%d) did not match that of the "
        "currently connected camera",
        static_cast<int>(deviceId));
    Trace("connected camera id is: %d", static_cast<int>(camera->m_cameraId));
  }
  StopLiveViewOf(camera);
  current->disconnectCamera();
}

bool NamesOneOfSeveral(const ZnLuaTE* params) {
  const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  return manager && manager->connectedCount() > 1 && GetDeviceIdFromParams(params) != 0;
}

CCamera* AddressedCamera(const ZnLuaTE* params) {
  const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return nullptr;
  if (NamesOneOfSeveral(params))
    return manager->connectedCamera(static_cast<std::uint32_t>(GetDeviceIdFromParams(params)));
  return manager->currentCamera();
}

std::uint32_t AddressedModuleOf(const ZnLuaTE* params) {
  const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return 0;
  if (NamesOneOfSeveral(params)) return DeviceModuleOf(params);
  return manager->m_currentModule ? manager->m_currentModule->m_moduleIndex : 0;
}

std::vector<std::uint32_t> RigCameras(const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  const auto* listed =
      table ? dynamic_cast<const ZnLuaTETable*>(table->getValue("device_ids")) : nullptr;
  if (!listed) {
    const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
    return manager ? manager->connectedDevices() : std::vector<std::uint32_t>{};
  }
  std::vector<std::uint32_t> devices;
  // The values under number keys, in the keys' order; a camera named twice is released once.
  for (const auto& entry : *listed) {
    if (!dynamic_cast<const ZnLuaTENumber*>(entry.first)) continue;
    const auto deviceId = static_cast<std::uint32_t>(DeviceIdOfValue(entry.second));
    if (std::find(devices.begin(), devices.end(), deviceId) == devices.end())
      devices.push_back(deviceId);
  }
  return devices;
}

void ReleaseRigCameras(const std::vector<std::uint32_t>& deviceIds, RigTag rig) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  // Every camera's exposure is read first, so that nothing comes between the starts.
  std::vector<std::pair<CCamera*, std::uint32_t>> ready;
  for (std::uint32_t deviceId : deviceIds) {
    CCamera* camera = manager ? manager->connectedCamera(deviceId) : nullptr;
    if (camera && camera->canRelease()) {
      ready.emplace_back(camera, camera->releaseExposureMs());
      continue;
    }
    RigReleaseEnd end;
    end.rigShot = rig.rigShot;
    end.deviceId = deviceId;
    end.errorCode = kNoCameraConnected;
    end.description = camera ? "The camera cannot take a picture now"
                             : "Camera " + std::to_string(deviceId) + " is not connected";
    CameraHost().rigReleaseEnded(end);
  }
  for (const auto& camera : ready) camera.first->startRelease(camera.second, rig);
}

void SendRigShot(std::uint32_t requestId, std::uint32_t rigShot) {
  ZnLuaTETable reply;
  reply.setNumber("rig_shot", rigShot);
  QueueMessageToHost(requestId, "ok", &reply);
}

void HandleUpdateCameraSetting(std::uint32_t requestId, const ZnLuaTE* params) {
  if (CCamera* camera = AddressedCamera(params)) camera->updateCameraSetting(params, "");
  SendCameraSettings(requestId, params);
}

void SendCameraSettings(std::uint32_t requestId, const ZnLuaTE* params) {
  CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  if (!manager) return;
  if (NamesOneOfSeveral(params)) {
    CCamera* camera = AddressedCamera(params);
    if (camera) {
      QueueMessageToHost(requestId, "ok", camera->makeSettingsTable().get());
    } else {
      SendNamedCameraNotConnected(requestId);
    }
    return;
  }
  const std::uint32_t deviceId = static_cast<std::uint32_t>(GetDeviceIdFromParams(params));
  const std::uint32_t modulePart = deviceId & kModulePartMask;
  const std::uint32_t cameraPart = deviceId & kCameraPartMask;

  CNikonModule* module = FindModuleTraced(manager, modulePart);
  if (!module) return;
  if (module != manager->m_currentModule) {
    SendErrorMessage(requestId, kNoCameraConnected, "Module specified was not connected");
    return;
  }
  CCamera* camera = module->m_currentCamera;
  if (!camera) {
    SendErrorMessage(requestId, kNoCameraConnected, "No camera is connected");
    return;
  }
  if (cameraPart != camera->m_cameraId) {
    SendNamedCameraNotConnected(requestId);
    return;
  }
  QueueMessageToHost(requestId, "ok", camera->makeSettingsTable().get());
}

void ShutdownCameras() { CNikonModuleManager::DestroyInstance(); }
