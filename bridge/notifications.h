// CHostNotifications: the camera layer's reports, sent to the host as the messages the process
// sends on its own (request id 0): "deviceAdded", "deviceRemoved", "cameraSettingsChanged",
// "objectWasAdded", "fileDownloadComplete", "error" for a failed download or a lost shot,
// "rigReleaseEnded" and "liveViewImage".
//
// While the host holds more than one camera connected, the reports about a camera carry its
// "device_id"; a host that connects one camera at a time sees them exactly as ever. The reports
// about a file carry it when its announcement did.
//
// Each report builds its table, queues it with QueueMessageToHost (which clones it) and
// destroys it again. It also keeps the capture counter that names each announced file.
//
// Threads: as CCameraHost: always with the SDK lock held, which also guards the counter.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera_host.h"

class ZnLuaTETable;

class CHostNotifications final : public CCameraHost {
 public:
  void deviceAdded(std::uint32_t deviceId, const std::string& name) override LB_REQUIRES(g_sdkLock);
  void deviceRemoved(std::uint32_t deviceId) override LB_REQUIRES(g_sdkLock);
  void settingsChanged(std::uint32_t deviceId, const ZnLuaTETable& settings) override
      LB_REQUIRES(g_sdkLock);
  int fileAnnounced(const AnnouncedFile& file) override LB_REQUIRES(g_sdkLock);
  void fileDownloaded(int captureId, const std::string& filePath, std::int64_t downloadMs) override
      LB_REQUIRES(g_sdkLock);
  void downloadFailed(int errorCode, const std::string& description, int captureId) override
      LB_REQUIRES(g_sdkLock);
  void shotLost(std::uint32_t deviceId, int errorCode, const std::string& description) override
      LB_REQUIRES(g_sdkLock);
  void rigReleaseEnded(const RigReleaseEnd& end) override LB_REQUIRES(g_sdkLock);
  void liveViewFrame(std::uint32_t deviceId, const std::vector<unsigned char>& frame) override
      LB_REQUIRES(g_sdkLock);

 private:
  // Whether reports about a camera name it: the host holds several connected.
  static bool namesCameras() LB_REQUIRES(g_sdkLock);
  // Adds "device_id" to the report of the announced file `captureId` when its announcement had
  // it; the file's last report (`ends`) forgets it.
  void nameCameraOfFile(ZnLuaTETable& table, int captureId, bool ends) LB_REQUIRES(g_sdkLock);

  int m_lastCaptureId = 0;  // the id of the last announced file
  // The camera of each announced file that named it, until the file's end is reported.
  std::map<int, std::uint32_t> m_cameraOfFile;
};

// {device_id, name}: one camera as "deviceAdded" and the "listDevices" reply show it.
std::unique_ptr<ZnLuaTETable> MakeDeviceInfoTable(std::uint32_t deviceId, const std::string& name);
