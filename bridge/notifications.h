// CHostNotifications: the camera layer's reports, sent to the host as the messages the process
// sends on its own (request id 0): "deviceAdded", "deviceRemoved", "cameraSettingsChanged",
// "objectWasAdded", "fileDownloadComplete", "error" for a failed download, and
// "liveViewImage".
//
// Each report builds its table, queues it with QueueMessageToHost (which clones it) and
// destroys it again. It also keeps the capture counter that names each announced file.
//
// Threads: as CCameraHost: always with the SDK lock held, which also guards the counter.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_host.h"

class ZnLuaTETable;

class CHostNotifications final : public CCameraHost {
 public:
  void deviceAdded(std::uint32_t deviceId, const std::string& name) override;
  void deviceRemoved(std::uint32_t deviceId) override;
  void settingsChanged(const ZnLuaTETable& settings) override;
  int fileAnnounced(const std::string& fileName, std::int32_t fileSize, bool hasSidecar,
                    const std::string& cameraFileName) override;
  void fileDownloaded(int captureId, const std::string& filePath, std::int64_t downloadMs) override;
  void downloadFailed(int errorCode, const std::string& description, int captureId) override;
  void liveViewFrame(const std::vector<unsigned char>& frame) override;

 private:
  int m_lastCaptureId = 0;  // the id of the last announced file
};

// {device_id, name}: one camera as "deviceAdded" and the "listDevices" reply show it.
std::unique_ptr<ZnLuaTETable> MakeDeviceInfoTable(std::uint32_t deviceId, const std::string& name);
