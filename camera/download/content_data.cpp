#include "camera/download/content_data.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/download/capture_file_names.h"
#include "camera/download/content_container.h"
#include "camera/download/download_directory.h"
#include "camera/download/download_stopwatch.h"
#include "camera/modules/module_manager.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/platform.h"
#include "platform/trace.h"

namespace {

constexpr maid::ULONG kImageDataObjectId = 1;

// No picture a camera makes comes near this (the largest RAW and TIFF files are a few hundred
// MB); a size beyond it is a broken answer, and the whole buffer would be allocated, zeroed
// and written for it.
constexpr std::uint32_t kLargestDownloadBytes = 1u << 30;

}  // namespace

CContentData::CContentData(CContentContainer* container, std::uint32_t captureNumber)
    : CNikonObject(container, kImageDataObjectId),
      m_container(container),
      m_captureNumber(captureNumber) {
  logCapabilities();

  maid::ULONG storedBytes = 0;
  int result = getUnsignedValue(kNkMAIDCapability_StoredBytes, storedBytes);
  if (result != 0) {
    Trace("Error getting kNkMAIDCapability_StoredBytes on data object: %d", result);
  } else if (storedBytes == 0 || storedBytes > kLargestDownloadBytes) {
    // Left unset: the first block's total length is the fallback (see openFile).
    Trace("kNkMAIDCapability_StoredBytes on data object is not a file size: %lu",
          static_cast<unsigned long>(storedBytes));
  } else {
    m_storedBytes = static_cast<std::int32_t>(storedBytes);
  }

  result = -1;
  if (isOpen()) {
    const maid::MaidCapInfo* info = capabilityInfo(kNkMAIDCapability_RawJpegImageStatus);
    if (!info) {
      result = kCapabilityNotFound;
    } else if (info->ulType == kNkMAIDCapType_Integer || info->ulType == kNkMAIDCapType_Unsigned) {
      maid::ULONG status = 0;
      result = capGet(kNkMAIDCapability_RawJpegImageStatus, info->ulType + 3, &status);
      if (result == 0) m_hasSidecar = status != 0;
    } else {
      // Another type tells us nothing about a pair; the shot is taken as a single file.
      result = 0;
    }
  }
  if (result != 0) {
    Trace("Error getting kNkMAIDCapability_RawJpegImageStatus on data object: %d", result);
    m_hasSidecar = false;
  }

  std::string name;
  getStringValue(kNkMAIDCapability_Name, name);
  Trace("created data for item %s", name.c_str());
  m_dataTarget = this;
}

CContentData::~CContentData() {
  m_dataTarget = nullptr;
  discardFile();
}

bool CContentData::openFile(const maid::MaidDataInfo& info) {
  const std::string extension = ExtensionForFileDataType(info.ulFileDataType);
  // The base name must be free for both files of a pair, whichever of them comes first.
  std::vector<std::string> extensions{extension};
  if (m_hasSidecar) {
    extensions.push_back(ExtensionForFileDataType(kNkMAIDFileDataType_NIF));
    extensions.push_back(ExtensionForFileDataType(kNkMAIDFileDataType_JPEG));
  }
  const CaptureShotId shot = m_container ? m_container->m_shot : 0;
  const std::string baseName =
      CCaptureFileNames::instance().baseName(shot, g_downloadDirectory, extensions);
  if (baseName.empty()) {
    Trace("Download failed: no usable download folder (\"%s\")", g_downloadDirectory.c_str());
    return false;
  }
  m_fileName = baseName + extension;
  // Without a size from the camera the first block's total length is the only basis for the
  // buffer; with neither, there is nothing sound to gather the file into.
  if (m_storedBytes <= 0 && info.ulTotalLength > 0 && info.ulTotalLength <= kLargestDownloadBytes) {
    Trace("Download of %s sized by its data blocks", m_fileName.c_str());
    m_storedBytes = static_cast<std::int32_t>(info.ulTotalLength);
  }
  if (m_storedBytes <= 0) {
    Trace("Download of %s failed: the camera gave no file size", m_fileName.c_str());
    return false;
  }
  // Not zero-filled up front: blocks come in order, so zeroing all of a 50 MB buffer first
  // would only touch it twice. m_initializedBytes keeps track instead (see onData).
  m_buffer.reset(static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(m_storedBytes))));
  m_initializedBytes = 0;
  if (!m_buffer) {
    Trace("Download of %s failed: no memory for %d bytes", m_fileName.c_str(),
          static_cast<int>(m_storedBytes));
    return false;
  }
  m_filePath = g_downloadDirectory + m_fileName;
  if (FileNameIsTaken(m_filePath)) {
    // Something took the name after the shot's base name was chosen (the pair's other file
    // was checked then, but another program may have written since): keep off it.
    m_filePath = MakeUniqueFilePath(g_downloadDirectory, m_fileName);
    if (!m_filePath.empty()) m_fileName = m_filePath.substr(g_downloadDirectory.size());
  }
  m_file.reset(m_filePath.empty() ? nullptr : platform::openForWriting(m_filePath));
  if (!m_file) {
    // Nothing of ours is at the path, so nothing is removed: it may be another program's.
    Trace("Download of %s failed: cannot create \"%s\"", m_fileName.c_str(), m_filePath.c_str());
    return false;
  }
  Trace("path for downloaded file: %s", m_filePath.c_str());
  m_captureId = CameraHost().fileAnnounced(m_fileName, m_storedBytes, m_hasSidecar);
  return true;
}

maid::NKERROR CContentData::onData(void* dataInfo, void* data) {
  // Blocks after the file is complete, or after it could not be stored, would otherwise open
  // a second file under a new name and announce it to the host again.
  g_sdkLock.assertHeld();  // the SDK calls back inside our own call
  if (!dataInfo || m_transferComplete || m_transferFailed) return 0;
  maid::MaidDataInfo info;
  std::memcpy(&info, dataInfo, sizeof info);

  if (!m_file) {
    if (!openFile(info)) {
      m_transferFailed = true;
      discardFile();
      return 0;
    }
  }

  if (info.ulType & kNkMAIDDataObjType_File) {
    // In 64 bits, so a block near the 4 GiB end cannot wrap around into the buffer. A block
    // that would wrap names no place in any file; it is dropped whole, and does not count as
    // the end of the file either.
    const std::uint64_t end = std::uint64_t{info.ulStart} + info.ulLength;
    if (end > 0xFFFFFFFFull) return 0;
    if (end <= static_cast<std::uint64_t>(m_storedBytes) && data) {
      // Every byte below m_initializedBytes holds data or zero; a gap the camera skipped is
      // zeroed before the block past it lands, so no stale memory can reach the file.
      if (info.ulStart > m_initializedBytes)
        std::memset(m_buffer.get() + m_initializedBytes, 0, info.ulStart - m_initializedBytes);
      std::memcpy(m_buffer.get() + info.ulStart, data, info.ulLength);
      if (end > m_initializedBytes) m_initializedBytes = static_cast<std::uint32_t>(end);
    }
    if (end >= info.ulTotalLength) writeFile();
  }
  return 0;
}

void CContentData::writeFile() {
  const std::size_t size = static_cast<std::size_t>(m_storedBytes);
  if (m_initializedBytes < size)
    std::memset(m_buffer.get() + m_initializedBytes, 0, size - m_initializedBytes);
  const bool written = std::fwrite(m_buffer.get(), 1, size, m_file.get()) == size;
  const bool closed = std::fclose(m_file.release()) == 0;
  m_buffer.reset();
  if (written && closed) {
    m_transferComplete = true;
    return;
  }
  // A file that falls short of its size is not the picture; the host must not be sent to it.
  Trace("Download of %s failed: writing \"%s\" fell short", m_fileName.c_str(), m_filePath.c_str());
  platform::removeFile(m_filePath);
  m_transferFailed = true;
}

void CContentData::discardFile() {
  if (m_file) {
    m_file.reset();
    // A file that was opened and never completed holds nothing of the picture.
    platform::removeFile(m_filePath);
  }
  m_buffer.reset();
}

void CContentData::closeSdkObject() {
  if (!isOpen()) return;
  call(kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0);
  markClosed();
}

void CContentData::completionCallback(maid::ULONG command, maid::NKERROR result, maid::NKPARAM) {
  g_sdkLock.assertHeld();  // the SDK calls back inside our own call
  Trace("CContentData completionCallback: %s", CommandName(command));
  if (m_transferComplete) {
    CameraHost().fileDownloaded(m_captureId, m_filePath, g_downloadStopwatch.elapsedMs());
  } else {
    Trace("CContentData completionCallback,failed to finish data transfer, err=%ld",
          static_cast<long>(result));
    discardFile();
    if (result == kNkMAIDResult_CameraNotFound) {
      CNikonModuleManager::getInstance();
      if (m_container && m_container->m_camera) m_container->m_camera->m_lost = true;
    }
  }
  closeSdkObject();
  if (auto* container = dynamic_cast<CContentContainer*>(parent())) {
    container->contentFinishedDownloading();
  }
}
