#include "bridge/notifications.h"

#include <cstdlib>
#include <memory>

#include "hostlink/outgoing_queue.h"
#include "platform/trace.h"
#include "values/lua_value.h"

namespace {

void SetString(ZnLuaTETable& table, const char* key, const std::string& value) {
  table.setValue(new ZnLuaTEString(key), new ZnLuaTEString(value));
}

void SetNumber(ZnLuaTETable& table, const char* key, double value) {
  table.setValue(new ZnLuaTEString(key), new ZnLuaTENumber(value));
}

}  // namespace

ZnLuaTETable* MakeDeviceInfoTable(std::uint32_t deviceId, const std::string& name) {
  auto* table = new ZnLuaTETable();
  SetNumber(*table, "device_id", static_cast<double>(deviceId));
  SetString(*table, "name", name);
  return table;
}

void CHostNotifications::deviceAdded(std::uint32_t deviceId, const std::string& name) {
  std::unique_ptr<ZnLuaTETable> info(MakeDeviceInfoTable(deviceId, name));
  QueueMessageToHost(0, "deviceAdded", info.get());
}

void CHostNotifications::deviceRemoved(std::uint32_t deviceId) {
  ZnLuaTETable gone;
  SetNumber(gone, "device_id", static_cast<double>(deviceId));
  QueueMessageToHost(0, "deviceRemoved", &gone);
}

void CHostNotifications::settingsChanged(const ZnLuaTETable& settings) {
  QueueMessageToHost(0, "cameraSettingsChanged", &settings);
}

int CHostNotifications::fileAnnounced(const std::string& fileName, std::int32_t fileSize,
                                      bool hasSidecar, const std::string& cameraFileName) {
  const int captureId = ++m_lastCaptureId;
  ZnLuaTETable table;
  SetNumber(table, "capture_id", captureId);
  SetNumber(table, "has_sidecar", hasSidecar ? 1 : 0);
  SetString(table, "file_name", fileName);
  SetNumber(table, "file_size", fileSize);
  // The camera's own name, for hosts that name files after it; absent when it gives none.
  if (!cameraFileName.empty()) SetString(table, "camera_file_name", cameraFileName);
  QueueMessageToHost(0, "objectWasAdded", &table);
  return captureId;
}

void CHostNotifications::fileDownloaded(int captureId, const std::string& filePath,
                                        std::int64_t downloadMs) {
  ZnLuaTETable table;
  SetNumber(table, "capture_id", captureId);
  SetString(table, "file_path", filePath);
  SetNumber(table, "file_download_time", static_cast<double>(downloadMs));
  QueueMessageToHost(0, "fileDownloadComplete", &table);
}

void CHostNotifications::downloadFailed(int errorCode, const std::string& description,
                                        int captureId) {
  Trace("Download failed - error code: %d, message: %s, capture id: %d", errorCode,
        description.c_str(), captureId);
  ZnLuaTETable table;
  SetNumber(table, "error_code", errorCode);
  SetString(table, "error_description", description);
  // A file the host was never told of has no id it could match.
  if (captureId != 0) SetNumber(table, "capture_id", captureId);
  QueueMessageToHost(0, "error", &table);
}

void CHostNotifications::liveViewFrame(const void* bytes, int size) {
  if (size < 0 || (size > 0 && !bytes)) return;
  // A frame that cannot be copied is skipped like a failed fetch; the next tick tries again.
  try {
    ZnLuaTETable table;
    table.setValue(new ZnLuaTEString("image"), new ZnLuaTEData(bytes, size));
    SetNumber(table, "size", size);
    QueueMessageToHost(0, "liveViewImage", &table);
  } catch (int) {
    Trace("Live-view frame skipped: no memory for a frame of %d bytes", size);
  }
}
