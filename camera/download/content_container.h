// CContentContainer: one new capture item under a camera, from its announcement to the end of
// its download.
//
// The camera makes a container when the SDK announces the item (CCamera::onItemAdded), opens
// its image data object (CContentData) and downloads it at once, inside the event handler.
// The container is deleted when its download has returned; its data object goes with it.
//
// Ownership: owned by the camera's m_children; onItemAdded destroys it through the camera
// after its download (or the camera's destructor does, if that comes first). m_data is owned
// through our own m_children. m_camera is not owned.
//
// Threads: only inside SDK callbacks, with the SDK lock held.
#pragma once

#include <cstdint>
#include <string>

#include "camera/download/capture_file_names.h"
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
  int openDataType();

  // Starts the transfer and waits for its completion (blocks and completion arrive inside the
  // wait). Every outcome reaches the host: the file complete, or a failed download (also for
  // image data the camera will not open). An item without image data has nothing to fetch.
  void beginDownload() LB_REQUIRES(g_sdkLock);

  // Closes the item's SDK object and stops the download stopwatch.
  void contentFinishedDownloading();

  CCamera* m_camera = nullptr;       // not owned
  std::uint32_t m_dataTypes = 0;     // kNkMAIDCapability_DataTypes; an image when unreadable
  CContentData* m_data = nullptr;    // owned through m_children; null until opened
  CaptureShotId m_shot = 0;          // the shot whose base name the file takes
  std::string m_cameraFileName;      // the camera's own name of the item ("DSC_0001.NEF")
};
