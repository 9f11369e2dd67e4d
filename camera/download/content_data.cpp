#include "camera/download/content_data.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/camera_host.h"
#include "camera/download/capture_file_names.h"
#include "camera/download/content_container.h"
#include "camera/download/download_directory.h"
#include "camera/camera_clock.h"
#include "camera/sdkobject/maid_names.h"
#include "platform/free_name.h"
#include "platform/platform.h"
#include "platform/trace.h"

namespace {

constexpr maid::ULONG kImageDataObjectId = 1;

// No picture a camera makes comes near this (the largest RAW and TIFF files are a few hundred
// MB); a size beyond it is a broken answer. Keeping below it also keeps every offset in the
// file within a long, which is what fseek takes.
constexpr std::uint32_t kLargestDownloadBytes = 1u << 30;

// The moves a download's life has (DownloadPhase).
bool CanMove(DownloadPhase from, DownloadPhase to) {
  using P = DownloadPhase;
  switch (to) {
    case P::Started:
      return from == P::Waiting;
    case P::Writing:
      return from == P::Started;
    case P::Naming:
      return from == P::Writing;
    case P::Whole:
    case P::HandedOff:
      return from == P::Naming;
    case P::Downloaded:
      return from == P::Whole;
    case P::Failed:
      return from == P::Waiting || from == P::Started || from == P::Writing || from == P::Naming;
    case P::Lost:
      return from == P::Failed;
    case P::Waiting:
      break;
  }
  return false;
}

}  // namespace

CContentData::CContentData(CContentContainer* container)
    : CNikonObject(container, kImageDataObjectId), m_container(container) {
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
}

CContentData::~CContentData() {
  g_sdkLock.assertHeld();  // destroyed by its container, under the SDK lock
  // A transfer still under way here was forgotten by its owner; it is cut off all the same,
  // so that its file ends with its outcome.
  assert(m_phase == DownloadPhase::Waiting || transferEnded());
  letGo();
  discardFile();
}

void CContentData::letGo() {
  if (m_phase != DownloadPhase::Waiting)
    cutOff(kDownloadNotEnded, "the transfer was cut off before the camera ended it");
}

void CContentData::moveTo(DownloadPhase next) {
  const bool allowed = CanMove(m_phase, next);
  assert(allowed);
  if (!allowed) {
    Trace("Download of %s: no move from phase %d to %d", m_fileName.c_str(),
          static_cast<int>(m_phase), static_cast<int>(next));
    return;
  }
  m_phase = next;
}

bool CContentData::startTransfer() {
  if (!isOpen() || !hasCapability(kNkMAIDCapability_Acquire)) {
    cutOff(kDownloadNotEnded, "the camera offers no transfer of it");
    return false;
  }
  // Before the call: a module may send the blocks, and even the completion, inside it.
  moveTo(DownloadPhase::Started);
  m_transfer = std::make_unique<CPendingCompletion>(this);
  m_lastActivityMs = CameraClockMs();
  const maid::NKERROR result =
      call(kNkMAIDCommand_CapStart, kNkMAIDCapability_Acquire, kNkMAIDDataType_Null, 0,
           &NikonCompletionProc, m_transfer->record());
  if (result != kNkMAIDResult_NoError && result != kNkMAIDResult_Pending) {
    cutOff(result, std::string("the camera refused the transfer (") + ResultName(result) + ")");
  }
  return !transferEnded();
}

void CContentData::pollTransfer() {
  if (m_phase == DownloadPhase::Naming) stepNaming();
  if (transferEnded()) return;
  const bool keepPolling = pollAsync();
  if (transferEnded()) return;
  if (!keepPolling) {
    cutOff(kDownloadNotEnded, "the transfer stopped before the camera ended it");
    return;
  }
  if (CameraClockMs() - m_lastActivityMs >= transferInactivityMs()) {
    Trace("Nothing arrived for %u ms; the transfer ends", transferInactivityMs());
    cutOff(kDownloadNotEnded, "the transfer stopped before the camera ended it");
  }
}

void CContentData::cutOff(int errorCode, const std::string& cause) {
  if (transferEnded()) return;
  if (fileUnsettled()) fail(errorCode, cause);
  endTransfer();
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
    fail(kDownloadCannotCreate, "no usable download folder (\"" + g_downloadDirectory + "\")");
    return false;
  }
  m_fileName = baseName + extension;
  // The blocks' total length is what the camera actually sends; a StoredBytes that disagrees
  // would cut the file or pad it with bytes that never came from the camera.
  if (info.ulTotalLength > 0 && info.ulTotalLength <= kLargestDownloadBytes) {
    if (m_storedBytes > 0 && static_cast<std::uint32_t>(m_storedBytes) != info.ulTotalLength) {
      Trace("Download of %s: StoredBytes says %d bytes, the blocks %lu; the blocks size the file",
            m_fileName.c_str(), static_cast<int>(m_storedBytes),
            static_cast<unsigned long>(info.ulTotalLength));
    }
    m_storedBytes = static_cast<std::int32_t>(info.ulTotalLength);
  }
  if (m_storedBytes <= 0) {
    fail(kDownloadNoFileSize, "the camera gave no usable file size");
    return false;
  }
  m_coverage.clear();
  m_writeOffset = 0;
  m_filePath = g_downloadDirectory + m_fileName;
  if (platform::FileNameIsTaken(m_filePath)) {
    // Something took the name after the shot's base name was chosen (the pair's other file
    // was checked then, but another program may have written since): keep off it.
    m_filePath = MakeUniqueFilePath(g_downloadDirectory, m_fileName);
    if (!m_filePath.empty()) m_fileName = m_filePath.substr(g_downloadDirectory.size());
  }
  if (m_filePath.empty()) {
    fail(kDownloadCannotCreate, "no free name for it in \"" + g_downloadDirectory + "\"");
    return false;
  }
  m_partPath = m_filePath + platform::kPartialFileSuffix;
  m_file.reset(platform::openForWriting(m_partPath));
  if (!m_file) {
    // Nothing of ours is at the path, so nothing is removed: it may be another program's.
    m_partPath.clear();
    fail(kDownloadCannotCreate,
         "cannot create \"" + m_filePath + platform::kPartialFileSuffix + "\"");
    return false;
  }
  Trace("path for downloaded file: %s", m_filePath.c_str());
  // A pair whose other file was refused or failed before this one is announced as it turned
  // out: alone, so the host does not wait for a file that will never come.
  const bool sidecar = m_hasSidecar && !(camera() && camera()->m_shots.pairBroken(shot));
  AnnouncedFile announced;
  announced.deviceId = camera() ? camera()->deviceId() : 0;
  announced.fileName = m_fileName;
  announced.fileSize = m_storedBytes;
  announced.hasSidecar = sidecar;
  if (m_container) {
    announced.cameraFileName = m_container->m_cameraFileName;
    announced.rigShot = m_container->m_rigShot;
  }
  m_captureId = CameraHost().fileAnnounced(announced);
  moveTo(DownloadPhase::Writing);
  return true;
}

maid::NKERROR CContentData::onData(void* dataInfo, void* data) {
  g_sdkLock.assertHeld();  // the SDK calls back inside our own call
  // Blocks after the file is whole, or after it failed, change nothing: the file on disk is
  // the one the host is told of, and a second file must never be opened or announced.
  m_lastActivityMs = CameraClockMs();
  const bool takesBlocks = m_phase == DownloadPhase::Started || m_phase == DownloadPhase::Writing;
  if (!dataInfo || !takesBlocks) return 0;
  maid::MaidDataInfo info;
  std::memcpy(&info, dataInfo, sizeof info);
  if ((info.ulType & kNkMAIDDataObjType_File) == 0) return 0;

  if (m_phase == DownloadPhase::Started && !openFile(info)) return 0;
  storeBlock(info, data);
  const auto size = static_cast<std::uint64_t>(m_storedBytes);
  if (m_phase == DownloadPhase::Writing && m_coverage.covers(size)) finishFile();
  return 0;
}

void CContentData::storeBlock(const maid::MaidDataInfo& info, const void* data) {
  // In 64 bits, so a block near the 4 GiB end cannot wrap around into the file.
  const std::uint64_t end = std::uint64_t{info.ulStart} + info.ulLength;
  if (!data || end > static_cast<std::uint64_t>(m_storedBytes)) {
    Trace("Download of %s: block of %lu bytes at %lu is outside the file's %d bytes, dropped",
          m_fileName.c_str(), static_cast<unsigned long>(info.ulLength),
          static_cast<unsigned long>(info.ulStart), static_cast<int>(m_storedBytes));
    return;
  }
  // Blocks go to the file where they belong as they come; in order, as most cameras send
  // them, that is one plain write each. A block that lands past the end written so far
  // leaves a gap that only a later block can fill: the coverage, not the file's length,
  // says when the file is whole. The file size stays below 1 GiB, so a long offset holds it.
  const bool placed = info.ulStart == m_writeOffset ||
                      std::fseek(m_file.get(), static_cast<long>(info.ulStart), SEEK_SET) == 0;
  if (!placed || std::fwrite(data, 1, info.ulLength, m_file.get()) != info.ulLength) {
    fail(kDownloadWriteFailed, "writing \"" + m_partPath + "\" fell short (disk full?)");
    return;
  }
  m_writeOffset = end;
  m_coverage.add(info.ulStart, end);
}

void CContentData::finishFile() {
  // The close writes what the C runtime still holds; only a clean close makes the file whole.
  if (std::fclose(m_file.release()) != 0) {
    fail(kDownloadWriteFailed, "writing \"" + m_partPath + "\" fell short (disk full?)");
    return;
  }
  m_naming = std::make_unique<CFileNaming>(m_captureId, m_fileName, m_filePath, m_partPath);
  // The whole file is the naming's now: nothing here may remove it.
  m_partPath.clear();
  moveTo(DownloadPhase::Naming);
  stepNaming();
}

void CContentData::stepNaming() {
  const CFileNaming::State state = m_naming->step();
  if (state == CFileNaming::State::Waiting) return;
  if (state == CFileNaming::State::Named) {
    m_filePath = m_naming->path();
    moveTo(DownloadPhase::Whole);
  } else {
    // Kept: the naming has told the host where the whole file is.
    moveTo(DownloadPhase::Failed);
    if (CCamera* owner = camera()) owner->m_shots.fileLost(m_container->m_shot);
  }
  m_naming.reset();
}

void CContentData::handOffNaming() {
  m_naming->transferEnded(elapsedMs());
  AdoptHeldFile(std::move(m_naming));
}

void CContentData::fail(int errorCode, const std::string& cause) {
  discardFile();
  if (m_phase == DownloadPhase::Failed) return;
  moveTo(DownloadPhase::Failed);
  if (CCamera* owner = camera()) owner->m_shots.fileLost(m_container->m_shot);
  const std::string description = (m_fileName.empty() ? "New picture" : m_fileName) + ": " + cause;
  Trace("Download failed: %s", description.c_str());
  if (m_captureId != 0) {
    CameraHost().downloadFailed(errorCode, description, m_captureId);
  } else {
    CameraHost().shotLost(camera() ? camera()->deviceId() : 0, errorCode, description);
  }
}

void CContentData::discardFile() {
  m_file.reset();
  // A .part file that was never completed holds nothing the host can use.
  if (!m_partPath.empty()) {
    RemovePartialFile(m_partPath);
    m_partPath.clear();
  }
}

CCamera* CContentData::camera() const { return m_container ? m_container->m_camera : nullptr; }

void CContentData::closeSdkObject() {
  if (!isOpen()) return;
  call(kNkMAIDCommand_Close, 0, kNkMAIDDataType_Null, 0);
  markClosed();
}

void CContentData::finishItem() {
  closeSdkObject();
  if (auto* container = dynamic_cast<CContentContainer*>(parent())) {
    container->contentFinishedDownloading();
  }
}

void CContentData::onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM) {
  g_sdkLock.assertHeld();  // the SDK calls back inside our own call
  Trace("CContentData completionCallback: %s", CommandName(command));
  if (transferEnded()) return;  // a module that completes twice
  if (fileUnsettled()) {
    Trace("CContentData completionCallback,failed to finish data transfer, err=%ld",
          static_cast<long>(result));
    if (result == kNkMAIDResult_CameraNotFound) {
      // Whether the camera is really gone is the module's rescan to find out: one failed
      // call does not drop a camera that is still there.
      fail(result, "the camera was lost during the transfer");
    } else if (result != kNkMAIDResult_NoError) {
      fail(result, std::string("the transfer failed (") + ResultName(result) + ")");
    } else if (m_phase != DownloadPhase::Writing) {
      fail(kDownloadIncomplete, "the camera ended the transfer without sending the file");
    } else {
      const std::uint64_t size = static_cast<std::uint64_t>(m_storedBytes);
      fail(kDownloadIncomplete, "the camera ended the transfer with " +
                                    std::to_string(size - m_coverage.filledBytes()) + " of " +
                                    std::to_string(size) + " bytes missing, the first at offset " +
                                    std::to_string(m_coverage.firstMissing(size)));
    }
  }
  endTransfer();
}

void CContentData::endTransfer() {
  if (m_phase == DownloadPhase::Whole) {
    moveTo(DownloadPhase::Downloaded);
    CameraHost().fileDownloaded(m_captureId, m_filePath, elapsedMs());
  } else if (m_phase == DownloadPhase::Naming) {
    // Whole on disk, without its name yet: the host hears of it once it has it.
    moveTo(DownloadPhase::HandedOff);
    handOffNaming();
  } else {
    moveTo(DownloadPhase::Lost);  // given up on, and the host told
  }
  finishItem();
}

std::int64_t CContentData::elapsedMs() const {
  return m_container ? m_container->m_stopwatch.elapsedMs() : 0;
}
