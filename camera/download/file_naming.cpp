#include "camera/download/file_naming.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "camera/download/content_data.h"
#include "camera/download/download_directory.h"
#include "platform/platform.h"
#include "platform/trace.h"

namespace {

// The whole files whose transfer has ended and which still wait for their names.
std::vector<std::unique_ptr<CFileNaming>> g_heldFiles LB_GUARDED_BY(g_sdkLock);
// The ".part" files of failed downloads that were held when they were to be removed.
std::vector<std::string> g_partsToRemove LB_GUARDED_BY(g_sdkLock);

// Whether the file at `path` is gone, removed now or before.
bool Removed(const std::string& path) {
  return platform::removeFile(path) || !platform::fileExists(path);
}

}  // namespace

CFileNaming::CFileNaming(std::int32_t captureId, std::string fileName, std::string filePath,
                         std::string partPath)
    : m_captureId(captureId),
      m_fileName(std::move(fileName)),
      m_filePath(std::move(filePath)),
      m_partPath(std::move(partPath)) {
  if (giveFinalName()) return;
  // Most often another program has the new file open for a moment; the steps try again.
  Trace("Download of %s: the rename of its whole .part file was refused; trying again",
        m_fileName.c_str());
  markWhole();
  m_sinceMs = CameraClockMs();
  m_nextMs = m_sinceMs + m_pauseMs;
}

CFileNaming::~CFileNaming() {
  g_sdkLock.assertHeld();  // destroyed by its data object or the held files, under the SDK lock
  if (m_state == State::Waiting)
    giveUp("lensbridge ended before \"" + m_filePath + "\" could take its name");
}

CFileNaming::State CFileNaming::step() {
  if (m_state != State::Waiting) return m_state;
  const std::uint32_t now = CameraClockMs();
  if (static_cast<std::int32_t>(now - m_nextMs) < 0) return m_state;
  if (giveFinalName()) return m_state;
  if (now - m_sinceMs >= kNamingPatienceMs) {
    giveUp("another program kept \"" + m_filePath + "\" from taking its name for " +
           std::to_string(kNamingPatienceMs / 1000) + " s");
    return m_state;
  }
  markWhole();
  m_pauseMs = std::min(m_pauseMs * 2, 2000u);
  m_nextMs = now + m_pauseMs;
  return m_state;
}

void CFileNaming::transferEnded(std::int64_t elapsedMs) {
  m_transferEnded = true;
  m_elapsedMs = elapsedMs;
}

bool CFileNaming::giveFinalName() {
  if (!platform::renameFileNoReplace(m_partPath, m_filePath)) {
    // Another program may have taken the name while the file was transferred.
    const std::string otherPath = MakeUniqueFilePath(g_downloadDirectory, m_fileName);
    if (otherPath.empty() || !platform::renameFileNoReplace(m_partPath, otherPath)) return false;
    m_filePath = otherPath;
  }
  m_state = State::Named;
  unmark();
  // Once the camera has ended the transfer the host hears now; before, its completion tells.
  if (m_transferEnded) CameraHost().fileDownloaded(m_captureId, m_filePath, m_elapsedMs);
  return true;
}

void CFileNaming::giveUp(const std::string& cause) {
  // The bytes are the only copy of the picture: they go to a name no start ever removes, or,
  // while the other program still holds them, stay where they are with their marker.
  m_state = State::Kept;
  std::string wholeFile = m_partPath;
  const std::string keptPath = KeptFilePath(g_downloadDirectory, m_fileName);
  if (!keptPath.empty() && platform::renameFileNoReplace(m_partPath, keptPath)) {
    wholeFile = keptPath;
    unmark();
  } else {
    markWhole();
  }
  const std::string description =
      m_fileName + ": " + cause + "; the whole file is at \"" + wholeFile + "\"";
  Trace("Download failed: %s", description.c_str());
  CameraHost().downloadFailed(kDownloadCannotRename, description, m_captureId);
}

void CFileNaming::markWhole() {
  if (m_marked) return;
  std::FILE* marker = platform::openForWriting(WholeMarkerPath(m_partPath));
  m_marked = marker && std::fclose(marker) == 0;
  // Without its marker a later start could not tell the file from an interrupted one; the
  // next step writes it again.
  if (!m_marked) Trace("Cannot mark %s as whole", m_partPath.c_str());
}

void CFileNaming::unmark() {
  if (m_marked) platform::removeFile(WholeMarkerPath(m_partPath));
  m_marked = false;
}

void AdoptHeldFile(std::unique_ptr<CFileNaming> naming) {
  if (naming && naming->state() == CFileNaming::State::Waiting)
    g_heldFiles.push_back(std::move(naming));
}

void RemovePartialFile(const std::string& path) {
  if (Removed(path)) return;
  Trace("%s is held by another program; it is removed once let go", path.c_str());
  g_partsToRemove.push_back(path);
}

bool StepHeldFiles() {
  for (auto it = g_heldFiles.begin(); it != g_heldFiles.end();) {
    if ((*it)->step() == CFileNaming::State::Waiting)
      ++it;
    else
      it = g_heldFiles.erase(it);
  }
  g_partsToRemove.erase(std::remove_if(g_partsToRemove.begin(), g_partsToRemove.end(), Removed),
                        g_partsToRemove.end());
  return HeldFilesWaiting();
}

bool HeldFilesWaiting() { return !g_heldFiles.empty() || !g_partsToRemove.empty(); }

void EndHeldFiles() {
  std::vector<std::unique_ptr<CFileNaming>> ending;
  ending.swap(g_heldFiles);
  g_partsToRemove.clear();
}
