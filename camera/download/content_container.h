// CContentContainer: one new capture item under a camera, from its announcement to the end of
// its download.
//
// The camera makes a container when the SDK announces the item (CCamera::onItemAdded), opens
// its image data object (CContentData) and queues its download; the camera's steps start the
// transfer, poll it and, once it has ended, delete the container with its data object.
//
// Ownership: owned by the camera's m_children; the camera destroys it when its download has
// ended (or in its own destructor, if that comes first). m_data is owned through our own
// m_children. m_camera is not owned.
//
// Threads: the camera thread, with the SDK lock held.
#pragma once

#include <cstdint>
#include <string>

#include "camera/download/capture_file_names.h"
#include "camera/download/download_stopwatch.h"
#include "camera/sdk_lock.h"
#include "camera/sdkobject/nikon_object.h"

class CCamera;
class CContentData;

class CContentContainer : public CNikonObject {
 public:
  // Opens item `itemId` under `camera` and its image data object. Throws the int SDK result
  // when the item cannot be opened; a missing or unopenable data object leaves m_data null.
  CContentContainer(CCamera* camera, maid::ULONG itemId);
  ~CContentContainer() override;

  // Opens the image data object into m_data: 0, -1 when the item has no image data, or the
  // SDK result of a refused open.
  int openDataType() LB_REQUIRES(g_sdkLock);

  // Starts the transfer; its blocks and completion arrive in later polls (pollTransfer). True
  // while it is under way; false when it has ended already, its outcome told the host (also
  // for image data the camera will not open). An item without image data has nothing to fetch.
  bool startDownload() LB_REQUIRES(g_sdkLock);

  // One poll of the transfer under way; then the bounds: a transfer with no block and no
  // completion for CNikonObject::transferInactivityMs() ends as failed.
  void pollTransfer() LB_REQUIRES(g_sdkLock);
  // Whether the transfer has ended: its outcome told the host, or its whole file handed to
  // the held files to wait for its name.
  bool downloadEnded() const LB_REQUIRES(g_sdkLock);
  // Ends the transfer under way as failed with `errorCode` and `cause` (its camera went).
  void cutOff(int errorCode, const std::string& cause) LB_REQUIRES(g_sdkLock);
  // The download goes with its camera or the process (CContentData::letGo); before the
  // container is destroyed.
  void letGo() LB_REQUIRES(g_sdkLock);

  // Closes the item's SDK object and stops the download stopwatch.
  void contentFinishedDownloading() LB_REQUIRES(g_sdkLock);

  CCamera* m_camera LB_GUARDED_BY(g_sdkLock) = nullptr;  // not owned
  // kNkMAIDCapability_DataTypes; an image when unreadable.
  std::uint32_t m_dataTypes LB_GUARDED_BY(g_sdkLock) = 0;
  // Owned through m_children; null until opened.
  CContentData* m_data LB_GUARDED_BY(g_sdkLock) = nullptr;
  CaptureShotId m_shot LB_GUARDED_BY(g_sdkLock) = 0;     // the shot whose base name the file takes
  std::uint32_t m_rigShot LB_GUARDED_BY(g_sdkLock) = 0;  // its rig release's number, or 0
  // The camera's own name of the item ("DSC_0001.NEF").
  std::string m_cameraFileName LB_GUARDED_BY(g_sdkLock);
  // From the start of the transfer to the end of the item.
  CDownloadStopwatch m_stopwatch LB_GUARDED_BY(g_sdkLock);
};
