// CContentContainer, and CCamera::onItemAdded, which numbers a new item and downloads it.
#include "camera/download/content_container.h"

#include <memory>
#include <string>

#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/download/content_data.h"
#include "camera/download/download_stopwatch.h"
#include "camera/modules/module_manager.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/trace.h"

void CCamera::onItemAdded(maid::ULONG itemId) {
  g_sdkLock.assertHeld();  // the SDK announces items inside our own calls
  // Throws when the item won't open.
  CContentContainer* container = adoptChild(std::make_unique<CContentContainer>(this, itemId));

  // The two items of a RAW+JPEG shot share one shot, whose base name both files take. An item
  // whose image data will not open brings no file, like an item that will not open at all.
  if (container->m_data) {
    container->m_shot = m_shots.placeItem(container->m_cameraFileName, container->m_data->m_hasSidecar);
  } else {
    m_shots.itemRefused();
  }

  // Items announced during this download (inside its SDK calls) come through here nested and
  // are done by the time their own call returns, so the list is empty again at the end.
  CNikonModuleManager* manager = CNikonModuleManager::getInstance();
  manager->m_pendingItems.push_back(container);
  if (!manager->m_pendingItems.empty()) {
    CContentContainer* next = manager->m_pendingItems.front();
    manager->m_pendingItems.pop_front();
    next->beginDownload();
    next->parent()->destroyChild(next);
  }
}

CContentContainer::CContentContainer(CCamera* camera, maid::ULONG itemId)
    : CNikonObject(camera, itemId) {
  // An item whose DataTypes cannot be read is taken for a picture: it is downloaded, or the
  // host hears why it could not be, rather than dropped without a word.
  maid::ULONG dataTypes = 0;
  if (getUnsignedValue(kNkMAIDCapability_DataTypes, dataTypes) != 0) {
    Trace("DataTypes of item %lu cannot be read; taken for a picture",
          static_cast<unsigned long>(itemId));
    dataTypes = kNkMAIDDataObjType_Image;
  }
  m_dataTypes = dataTypes;
  logCapabilities();
  // The camera names both files of a shot alike, which is what pairs them.
  getStringValue(kNkMAIDCapability_Name, m_cameraFileName);
  Trace("created container for item %lu (%s)", static_cast<unsigned long>(itemId),
        m_cameraFileName.c_str());
  openDataType();
  m_camera = camera;
}

CContentContainer::~CContentContainer() = default;

int CContentContainer::openDataType() {
  if ((m_dataTypes & kNkMAIDDataObjType_Image) == 0) return -1;
  try {
    m_data = adoptChild(std::make_unique<CContentData>(this));
  } catch (int result) {
    Trace("CContentContainer::openDataType(): Error opening data type %s", "1");
    return result;
  }
  return 0;
}

void CContentContainer::beginDownload() {
  g_downloadStopwatch.start();
  if (!m_data) {
    const int result = openDataType();
    if (!m_data) {
      // An item with image data whose data the camera will not hand over is a picture lost.
      if (result != -1) {
        Trace("Download failed: the camera refused to open a new picture's data (%d)", result);
        CameraHost().downloadFailed(
            result, std::string("New picture: the camera refused to open its data (") +
                        ResultName(result) + ")", 0);
      }
      return;
    }
  }
  const int started = m_data->startCapability(kNkMAIDCapability_Acquire, m_data);
  // The wait may end without the completion (the camera refused to start, stopped answering
  // or is gone); the data object then settles the file and tells the host.
  m_data->transferWaitEnded(started);
}

void CContentContainer::contentFinishedDownloading() {
  if (isOpen()) {
    call(kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0);
    markClosed();
  }
  g_downloadStopwatch.stop();
  Trace("[NIKON] beginDownload to contentFinishedDownloading took: %s ms",
        std::to_string(g_downloadStopwatch.elapsedMs()).c_str());
}
