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

// A file about to be downloaded, as the host is told of it.
struct AnnouncedFile {
  std::uint32_t deviceId = 0;  // its camera
  std::string fileName;        // the name it gets in the download folder
  std::int32_t fileSize = 0;
  bool hasSidecar = false;     // one file of a RAW+JPEG pair whose other file is still to come
  std::string cameraFileName;  // the camera's own name ("DSC_0001.NEF"); empty when it gives none
  std::uint32_t rigShot = 0;   // the rig release it came from; 0 for any other shot
};

// How one camera's part of a rig release ended. Times count in ms from the moment the rig
// release began to be carried out.
struct RigReleaseEnd {
  std::uint32_t rigShot = 0;
  std::uint32_t deviceId = 0;
  bool started = false;  // the release was started (a camera not connected never is)
  std::uint32_t startedMs = 0;
  bool fired = false;  // the camera took the picture (its completion came, without error)
  std::uint32_t firedMs = 0;
  int errorCode = 0;  // why it did not fire
  std::string description;
};

class CCameraHost {
 public:
  virtual ~CCameraHost() = default;

  // A camera came: its device id (module index | camera id) and its model name.
  virtual void deviceAdded(std::uint32_t deviceId, const std::string& name)
      LB_REQUIRES(g_sdkLock) = 0;
  // A camera went (unplugged, no longer alive, or lost during a transfer).
  virtual void deviceRemoved(std::uint32_t deviceId) LB_REQUIRES(g_sdkLock) = 0;
  // A connected camera's settings, as one table; lent for the call.
  virtual void settingsChanged(std::uint32_t deviceId, const ZnLuaTETable& settings)
      LB_REQUIRES(g_sdkLock) = 0;
  // A new file is being downloaded; returns the capture id that names it from now on
  // (1, 2, 3 ... for the life of the process), by which the reports below know its camera.
  virtual int fileAnnounced(const AnnouncedFile& file) LB_REQUIRES(g_sdkLock) = 0;
  // The announced file is complete on disk at `filePath`; `downloadMs` is how long it took.
  virtual void fileDownloaded(int captureId, const std::string& filePath, std::int64_t downloadMs)
      LB_REQUIRES(g_sdkLock) = 0;
  // The announced file `captureId` failed.
  virtual void downloadFailed(int errorCode, const std::string& description, int captureId)
      LB_REQUIRES(g_sdkLock) = 0;
  // A picture of camera `deviceId` was lost before any file of it was announced: a release
  // refused or never ended, or a new picture the camera would not hand over.
  virtual void shotLost(std::uint32_t deviceId, int errorCode, const std::string& description)
      LB_REQUIRES(g_sdkLock) = 0;
  // One camera's part of a rig release ended.
  virtual void rigReleaseEnded(const RigReleaseEnd& end) LB_REQUIRES(g_sdkLock) = 0;
  // One live-view frame of camera `deviceId` (JPEG bytes, never empty), lent for the call.
  virtual void liveViewFrame(std::uint32_t deviceId, const std::vector<unsigned char>& frame)
      LB_REQUIRES(g_sdkLock) = 0;
};

// Installs the host the camera layer reports to; null uninstalls it. Not owned.
void SetCameraHost(CCameraHost* host);

// The installed host. Until one is installed, a host that drops every report (capture id 0),
// so a camera layer driven without a host, as in some tests, still runs.
CCameraHost& CameraHost();
