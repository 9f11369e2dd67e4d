// CContentContainer, and CCamera::onItemAdded, which numbers a new item and downloads it.
#include "camera/download/content_container.h"

#include <memory>
#include <string>

#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/download/content_data.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/trace.h"

void CCamera::onItemAdded(maid::ULONG itemId) {
  g_sdkLock.assertHeld();  // the SDK announces items inside our own calls
  // Throws when the item won't open.
  CContentContainer* container = adoptChild(std::make_unique<CContentContainer>(this, itemId));

  // The two items of a RAW+JPEG shot share one shot, whose base name both files take. An item
  // whose image data will not open brings no file, like an item that will not open at all.
  if (container->m_data) {
    container->m_shot =
        m_shots.placeItem(container->m_cameraFileName, container->m_data->m_hasSidecar);
    container->m_rigShot = rigShotOf(container->m_shot);
  } else {
    m_shots.itemRefused();
  }

  // The camera's steps fetch its items one after the other, in the order they came.
  m_waitingDownloads.push_back(container);
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

CContentContainer::~CContentContainer() {
  // The data object goes first, while the container it reports through is still whole.
  if (m_data) destroyChild(m_data);
  m_data = nullptr;
}

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

bool CContentContainer::startDownload() {
  m_stopwatch.start();
  if (!m_data) {
    const int result = openDataType();
    if (!m_data) {
      // An item with image data whose data the camera will not hand over is a picture lost.
      if (result != -1) {
        Trace("Download failed: the camera refused to open a new picture's data (%d)", result);
        CameraHost().shotLost(m_camera ? m_camera->deviceId() : 0, result,
                              std::string("New picture: the camera refused to open its data (") +
                                  ResultName(result) + ")");
      }
      return false;
    }
  }
  return m_data->startTransfer();
}

void CContentContainer::pollTransfer() {
  if (m_data) m_data->pollTransfer();
}

bool CContentContainer::downloadEnded() const { return !m_data || m_data->transferEnded(); }

void CContentContainer::cutOff(int errorCode, const std::string& cause) {
  if (m_data) m_data->cutOff(errorCode, cause);
}

void CContentContainer::letGo() {
  if (m_data) m_data->letGo();
}

void CContentContainer::contentFinishedDownloading() {
  if (isOpen()) {
    call(kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0);
    markClosed();
  }
  m_stopwatch.stop();
  Trace("[NIKON] beginDownload to contentFinishedDownloading took: %s ms",
        std::to_string(m_stopwatch.elapsedMs()).c_str());
}
