#include "bridge/notifications.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "camera/camera/camera.h"
#include "camera/download/download_stopwatch.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "values/lua_value.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"

namespace {

void SetString(ZnLuaTETable& table, const char* key, const std::string& value) {
  table.setValue(new ZnLuaTEString(key), new ZnLuaTEString(value));
}

void SetNumber(ZnLuaTETable& table, const char* key, double value) {
  table.setValue(new ZnLuaTEString(key), new ZnLuaTENumber(value));
}

CCamera* CurrentCamera(CNikonModule* module) { return module ? module->m_currentCamera : nullptr; }

}  // namespace

void SendErrorMessage(std::uint32_t requestId, int errorCode, const char* description) {
  Trace("SendErrorMessage - error code: %x, message: %s", static_cast<unsigned>(errorCode),
        description ? description : "null");
  ZnLuaTETable table;
  SetNumber(table, "error_code", errorCode);
  if (description) SetString(table, "error_description", description);
  QueueMessageToHost(requestId, "error", &table);
}

void DoAutoFocus(std::uint32_t requestId) {
  CNikonModule* module = CNikonModuleManager::getInstance()->m_currentModule;
  CCamera* camera = CurrentCamera(module);
  if (!camera) return;
  ZnLuaTETable table;
  SetString(table, "status", camera->m_autoFocusOn ? "AutoFocusOn" : "AutoFocusOff");
  QueueMessageToHost(requestId, "ok", &table);
  camera->toggleAutoFocus();
}

void SendLiveViewStatus(std::uint32_t requestId) {
  CNikonModule* module = CNikonModuleManager::getInstance()->m_currentModule;
  if (!module) return;
  CCamera* camera = CurrentCamera(module);
  ZnLuaTETable table;
  SetString(table, "status", camera && camera->m_liveViewOn ? "liveViewOn" : "liveViewOff");
  QueueMessageToHost(requestId, "ok", &table);
}

void SendLiveViewImage() {
  CCamera* camera = CurrentCamera(CNikonModuleManager::getInstance()->m_currentModule);
  if (!camera || !camera->m_liveViewOn) return;
  void* bytes = nullptr;
  int size = 0;
  if (camera->getLiveViewImage(bytes, size) != 0) return;
  // The frame block is the caller's to free, whatever happens to the message.
  std::unique_ptr<void, decltype(&std::free)> frame(bytes, &std::free);
  if (size < 0 || (size > 0 && !bytes)) return;
  // A frame that cannot be copied is skipped like a failed fetch; the next tick tries again.
  try {
    ZnLuaTETable table;
    table.setValue(new ZnLuaTEString("image"), new ZnLuaTEData(bytes, size));
    SetNumber(table, "size", size);
    QueueMessageToHost(0, "liveViewImage", &table);
  } catch (int) {
    Trace("SendLiveViewImage: no memory for a frame of %d bytes", size);
  }
}

int SendObjectWasAdded(const std::string& fileName, int fileSize, bool hasSidecar) {
  CNikonModuleManager* manager = CNikonModuleManager::getInstance();
  const int captureId = ++manager->m_lastCaptureId;
  ZnLuaTETable table;
  SetNumber(table, "capture_id", captureId);
  SetNumber(table, "has_sidecar", hasSidecar ? 1 : 0);
  SetString(table, "file_name", fileName);
  SetNumber(table, "file_size", fileSize);
  QueueMessageToHost(0, "objectWasAdded", &table);
  return captureId;
}

void SendFileDownloadComplete(int captureId, const std::string& filePath) {
  ZnLuaTETable table;
  SetNumber(table, "capture_id", captureId);
  SetString(table, "file_path", filePath);
  SetNumber(table, "file_download_time", static_cast<double>(g_downloadStopwatch.elapsedMs()));
  QueueMessageToHost(0, "fileDownloadComplete", &table);
}

int GetDeviceIdFromParams(const ZnLuaTE* params) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(params);
  if (!table) return 0;
  const auto* number = dynamic_cast<const ZnLuaTENumber*>(table->getValue("device_id"));
  if (!number) return 0;
  // Converting a value outside the 32-bit range (or NaN) would be undefined; such an id
  // names no camera, so it becomes 0 like a missing one.
  const double value = std::trunc(number->getNumber());
  if (!std::isfinite(value) || value < -2147483648.0 || value > 2147483647.0) return 0;
  return static_cast<int>(value);
}
