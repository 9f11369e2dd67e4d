#include "bridge/notifications.h"

#include <memory>

#include "camera/modules/module_manager.h"
#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

std::unique_ptr<ZnLuaTETable> MakeDeviceInfoTable(std::uint32_t deviceId, const std::string& name) {
  auto table = std::make_unique<ZnLuaTETable>();
  table->setNumber("device_id", static_cast<double>(deviceId));
  table->setString("name", name);
  return table;
}

void CHostNotifications::deviceAdded(std::uint32_t deviceId, const std::string& name) {
  QueueMessageToHost(0, "deviceAdded", MakeDeviceInfoTable(deviceId, name).get());
}

void CHostNotifications::deviceRemoved(std::uint32_t deviceId) {
  ZnLuaTETable gone;
  gone.setNumber("device_id", static_cast<double>(deviceId));
  QueueMessageToHost(0, "deviceRemoved", &gone);
}

bool CHostNotifications::namesCameras() {
  const CNikonModuleManager* manager = CNikonModuleManager::existingInstance();
  return manager && manager->connectedCount() > 1;
}

void CHostNotifications::nameCameraOfFile(ZnLuaTETable& table, int captureId, bool ends) {
  const auto found = m_cameraOfFile.find(captureId);
  if (found == m_cameraOfFile.end()) return;
  table.setNumber("device_id", static_cast<double>(found->second));
  if (ends) m_cameraOfFile.erase(found);
}

void CHostNotifications::settingsChanged(std::uint32_t deviceId, const ZnLuaTETable& settings) {
  if (!namesCameras()) {
    QueueMessageToHost(0, "cameraSettingsChanged", &settings);
    return;
  }
  std::unique_ptr<ZnLuaTE> named = settings.clone();
  auto* table = dynamic_cast<ZnLuaTETable*>(named.get());
  if (table) table->setNumber("device_id", static_cast<double>(deviceId));
  QueueMessageToHost(0, "cameraSettingsChanged", named.get());
}

int CHostNotifications::fileAnnounced(const AnnouncedFile& file) {
  const int captureId = ++m_lastCaptureId;
  ZnLuaTETable table;
  table.setNumber("capture_id", captureId);
  table.setNumber("has_sidecar", file.hasSidecar ? 1 : 0);
  table.setString("file_name", file.fileName);
  table.setNumber("file_size", file.fileSize);
  // The camera's own name, for hosts that name files after it; absent when it gives none.
  if (!file.cameraFileName.empty()) table.setString("camera_file_name", file.cameraFileName);
  if (file.rigShot != 0) table.setNumber("rig_shot", file.rigShot);
  if (namesCameras()) {
    table.setNumber("device_id", static_cast<double>(file.deviceId));
    m_cameraOfFile[captureId] = file.deviceId;
  }
  QueueMessageToHost(0, "objectWasAdded", &table);
  return captureId;
}

void CHostNotifications::fileDownloaded(int captureId, const std::string& filePath,
                                        std::int64_t downloadMs) {
  ZnLuaTETable table;
  table.setNumber("capture_id", captureId);
  table.setString("file_path", filePath);
  table.setNumber("file_download_time", static_cast<double>(downloadMs));
  nameCameraOfFile(table, captureId, true);
  QueueMessageToHost(0, "fileDownloadComplete", &table);
}

void CHostNotifications::downloadFailed(int errorCode, const std::string& description,
                                        int captureId) {
  Trace("Download failed - error code: %d, message: %s, capture id: %d", errorCode,
        description.c_str(), captureId);
  ZnLuaTETable table;
  table.setNumber("error_code", errorCode);
  table.setString("error_description", description);
  if (captureId != 0) table.setNumber("capture_id", captureId);
  nameCameraOfFile(table, captureId, true);
  QueueMessageToHost(0, "error", &table);
}

void CHostNotifications::shotLost(std::uint32_t deviceId, int errorCode,
                                  const std::string& description) {
  Trace("Shot lost - error code: %d, message: %s", errorCode, description.c_str());
  // A file the host was never told of has no id it could match.
  ZnLuaTETable table;
  table.setNumber("error_code", errorCode);
  table.setString("error_description", description);
  if (namesCameras()) table.setNumber("device_id", static_cast<double>(deviceId));
  QueueMessageToHost(0, "error", &table);
}

void CHostNotifications::rigReleaseEnded(const RigReleaseEnd& end) {
  ZnLuaTETable table;
  table.setNumber("rig_shot", end.rigShot);
  table.setNumber("device_id", static_cast<double>(end.deviceId));
  if (end.started) table.setNumber("started_ms", end.startedMs);
  if (end.fired) {
    table.setNumber("fired_ms", end.firedMs);
  } else {
    table.setNumber("error_code", end.errorCode);
    table.setString("error_description", end.description);
  }
  QueueMessageToHost(0, "rigReleaseEnded", &table);
}

void CHostNotifications::liveViewFrame(std::uint32_t deviceId,
                                       const std::vector<unsigned char>& frame) {
  const int size = static_cast<int>(frame.size());
  // A frame that cannot be copied is skipped like a failed fetch; the next tick tries again.
  try {
    ZnLuaTETable table;
    table.set("image", std::make_unique<ZnLuaTEData>(frame.data(), size));
    table.setNumber("size", size);
    if (namesCameras()) table.setNumber("device_id", static_cast<double>(deviceId));
    QueueMessageToHost(0, "liveViewImage", &table);
  } catch (int) {
    Trace("Live-view frame skipped: no memory for a frame of %d bytes", size);
  }
}
