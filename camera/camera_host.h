// CCameraHost: how the camera layer tells the host what happens on the cameras.
//
// The camera layer declares this interface and calls it; it never builds a message itself.
// The side that speaks to the host implements it, and the process installs that
// implementation with SetCameraHost before the module manager is created.
//
// Ownership: the installed host is not owned by the camera layer and must outlive the module
// manager (and so every module, camera and download that may call it).
//
// Threads: every method is called with the SDK lock held, on the camera thread: its idle pump,
// its commands and its slices of the long operations, or SDK callbacks inside them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/sdk_lock.h"

class ZnLuaTETable;

class CCameraHost {
 public:
  virtual ~CCameraHost() = default;

  // A camera came: its device id (module index | camera id) and its model name.
  virtual void deviceAdded(std::uint32_t deviceId, const std::string& name)
      LB_REQUIRES(g_sdkLock) = 0;
  // A camera went (unplugged, no longer alive, or lost during a transfer).
  virtual void deviceRemoved(std::uint32_t deviceId) LB_REQUIRES(g_sdkLock) = 0;
  // The connected camera's settings, as one table; lent for the call.
  virtual void settingsChanged(const ZnLuaTETable& settings) LB_REQUIRES(g_sdkLock) = 0;
  // A new file is being downloaded; returns the capture id that names it from now on
  // (1, 2, 3 ... for the life of the process). `cameraFileName` is the camera's own name of
  // the file ("DSC_0001.NEF"), empty when it gives none.
  virtual int fileAnnounced(const std::string& fileName, std::int32_t fileSize, bool hasSidecar,
                            const std::string& cameraFileName) LB_REQUIRES(g_sdkLock) = 0;
  // The announced file is complete on disk at `filePath`; `downloadMs` is how long it took.
  virtual void fileDownloaded(int captureId, const std::string& filePath, std::int64_t downloadMs)
      LB_REQUIRES(g_sdkLock) = 0;
  // A download failed or a release was refused. `captureId` is the id fileAnnounced gave, or
  // 0 when the file had not been announced yet.
  virtual void downloadFailed(int errorCode, const std::string& description, int captureId)
      LB_REQUIRES(g_sdkLock) = 0;
  // One live-view frame (JPEG bytes, never empty), lent for the call.
  virtual void liveViewFrame(const std::vector<unsigned char>& frame) LB_REQUIRES(g_sdkLock) = 0;
};

// Installs the host the camera layer reports to; null uninstalls it. Not owned.
void SetCameraHost(CCameraHost* host);

// The installed host. Until one is installed, a host that drops every report (capture id 0),
// so a camera layer driven without a host, as in some tests, still runs.
CCameraHost& CameraHost();
