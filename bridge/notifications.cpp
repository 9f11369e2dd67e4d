#include "bridge/notifications.h"

#include <memory>

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

void CHostNotifications::settingsChanged(const ZnLuaTETable& settings) {
  QueueMessageToHost(0, "cameraSettingsChanged", &settings);
}

int CHostNotifications::fileAnnounced(const std::string& fileName, std::int32_t fileSize,
                                      bool hasSidecar, const std::string& cameraFileName) {
  const int captureId = ++m_lastCaptureId;
  ZnLuaTETable table;
  table.setNumber("capture_id", captureId);
  table.setNumber("has_sidecar", hasSidecar ? 1 : 0);
  table.setString("file_name", fileName);
  table.setNumber("file_size", fileSize);
  // The camera's own name, for hosts that name files after it; absent when it gives none.
  if (!cameraFileName.empty()) table.setString("camera_file_name", cameraFileName);
  QueueMessageToHost(0, "objectWasAdded", &table);
  return captureId;
}

void CHostNotifications::fileDownloaded(int captureId, const std::string& filePath,
                                        std::int64_t downloadMs) {
  ZnLuaTETable table;
  table.setNumber("capture_id", captureId);
  table.setString("file_path", filePath);
  table.setNumber("file_download_time", static_cast<double>(downloadMs));
  QueueMessageToHost(0, "fileDownloadComplete", &table);
}

void CHostNotifications::downloadFailed(int errorCode, const std::string& description,
                                        int captureId) {
  Trace("Download failed - error code: %d, message: %s, capture id: %d", errorCode,
        description.c_str(), captureId);
  ZnLuaTETable table;
  table.setNumber("error_code", errorCode);
  table.setString("error_description", description);
  // A file the host was never told of has no id it could match.
  if (captureId != 0) table.setNumber("capture_id", captureId);
  QueueMessageToHost(0, "error", &table);
}

void CHostNotifications::liveViewFrame(const std::vector<unsigned char>& frame) {
  const int size = static_cast<int>(frame.size());
  // A frame that cannot be copied is skipped like a failed fetch; the next tick tries again.
  try {
    ZnLuaTETable table;
    table.set("image", std::make_unique<ZnLuaTEData>(frame.data(), size));
    table.setNumber("size", size);
    QueueMessageToHost(0, "liveViewImage", &table);
  } catch (int) {
    Trace("Live-view frame skipped: no memory for a frame of %d bytes", size);
  }
}
