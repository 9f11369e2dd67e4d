// CTetherSteps' files: a shot's files moved into --out under --filename, whole or not at all
// and never over another picture, and the lines and JSON that tell where they are.
#include "lbhost/steps/tether_steps.h"

#include <windows.h>

#include <ctime>

#include "platform/free_name.h"
#include "platform/platform.h"
#include "lbhost/client/win32_error_text.h"
#include "lbhost/core/file_name_pattern.h"
#include "lbhost/steps/step_support.h"
#include "lbhost/vocabulary/valid_utf8.h"

using namespace step_support;

namespace {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The files in `folder` and in its folders down to `depth` levels, as paths relative to it.
std::vector<std::string> RelativeFiles(const std::string& folder, int depth,
                                       const std::string& prefix = "") {
  std::vector<std::string> paths;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(platform::utf8ToWide(folder + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return paths;
  do {
    const std::string name =
        platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(entry.cFileName));
    if (name == "." || name == "..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth == 0) continue;
      for (auto& path : RelativeFiles(folder + "\\" + name, depth - 1, prefix + name + "\\")) {
        paths.push_back(std::move(path));
      }
    } else {
      paths.push_back(prefix + name);
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return paths;
}

// What --filename's placeholders stand for in one file of the shot numbered `counter`.
ShotNaming NamingOf(const DownloadedFile& file, const std::tm& local, long long counter,
                    const std::string& cameraName) {
  ShotNaming naming;
  naming.year = local.tm_year + 1900;
  naming.month = local.tm_mon + 1;
  naming.day = local.tm_mday;
  naming.hour = local.tm_hour;
  naming.minute = local.tm_min;
  naming.second = local.tm_sec;
  naming.counter = static_cast<int>(counter);
  naming.cameraName = cameraName;
  // The camera's own name when the process passes it on; else the name it saved under.
  const std::string savedName = NameOf(file.path);
  naming.cameraFileName = file.cameraFileName.empty() ? savedName : file.cameraFileName;
  const std::size_t dot = savedName.find_last_of('.');
  if (dot != std::string::npos) naming.fileExtension = savedName.substr(dot);
  return naming;
}

Failure FilesFailure(std::string message) { return Failure{ErrorKind::Files, message}; }

}  // namespace

Status step_support::MakeFolder(const std::string& folder) {
  if (folder.empty() || platform::isDirectory(folder)) return Status();
  if (platform::fileExists(folder))
    return FilesFailure("--out " + folder + " is a file, not a folder");
  const std::size_t slash = folder.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0 && folder[slash - 1] != ':') {
    if (Status above = MakeFolder(folder.substr(0, slash)); !above) return above;
  }
  if (!CreateDirectoryW(platform::utf8ToWide(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    return FilesFailure("could not make the folder " + folder + ": " +
                        Win32ErrorText(GetLastError()));
  }
  return Status();
}

std::string step_support::FreePath(const std::string& folder, const std::string& name) {
  const std::string prefix =
      folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  return platform::FreeFilePath(prefix, name, 1);
}

Status CTetherSteps::saveShot(Shot* shot) {
  const bool move = !m_options.fileNamePattern.empty() || !m_outFolder.empty();
  // In --out the camera's own name is kept, with the downloaded file's extension, unless a
  // pattern says otherwise.
  const std::string pattern = m_options.fileNamePattern.empty() ? "%f" : m_options.fileNamePattern;
  const std::string cameraName = m_camera ? cameraLabel(m_camera->deviceId) : std::string();
  if (move && m_shotCounter < 0) {
    // Numbering goes on from the files an earlier session left under the same pattern.
    const std::string base =
        !m_outFolder.empty() || shot->files.empty() ? m_outFolder : FolderOf(shot->files[0].path);
    m_shotCounter =
        m_options.counter ? *m_options.counter - 1
        : PatternHasCounter(pattern)
            ? HighestCounter(pattern, cameraName, RelativeFiles(base, PatternFolderDepth(pattern)))
            : 0;
  }
  ++m_shotCounter;
  std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  for (const DownloadedFile& file : shot->files) {
    // One saved path per file, so a file that never arrived does not shift the others' paths.
    if (file.path.empty()) {
      shot->savedPaths.emplace_back();
      continue;
    }
    std::string saved = file.path;
    if (move) {
      const std::string relative = ExpandFileNamePattern(
          pattern, NamingOf(file, local, m_shotCounter,
                            file.deviceId ? cameraLabel(file.deviceId) : cameraName));
      const std::string folder = m_outFolder.empty() ? FolderOf(file.path) : m_outFolder;
      const std::string wanted = folder + "\\" + relative;
      if (Status made = MakeFolder(FolderOf(wanted)); !made) {
        made.failure().message += "; the picture stays at " + file.path;
        return made;
      }
      const std::string target = FreePath(FolderOf(wanted), NameOf(wanted));
      if (target.empty()) {
        return FilesFailure("no free name for " + NameOf(wanted) + " in " + FolderOf(wanted) +
                            "; the picture stays at " + file.path);
      }
      Result<std::string> moved = moveWhole(file.path, target);
      if (!moved) return moved;
      saved = *moved;
    }
    m_ledger.saved(file.captureId, saved);
    shot->savedPaths.push_back(saved);
    if (m_observer) m_observer->fileSaved(file, saved);
    if (Status hooked = runHook("download", saved); !hooked) return hooked;
  }
  return Status();
}

Status CTetherSteps::keepShot(Status collected, Shot* shot) {
  if (collected) return saveShot(shot);
  bool anyArrived = false;
  for (const auto& file : shot->files) anyArrived = anyArrived || !file.path.empty();
  if (!anyArrived) return collected;
  // The shot's own trouble is what ended it, unless saving what came failed too.
  if (Status saved = saveShot(shot); !saved) {
    return Failure{saved.failure().kind,
                   collected.failure().message + "; " + saved.failure().message};
  }
  return collected;
}

Result<std::string> CTetherSteps::moveWhole(const std::string& from, const std::string& target) {
  // On one volume a rename is whole by nature.
  if (MoveFileExW(platform::utf8ToWide(from).c_str(), platform::utf8ToWide(target).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    return target;
  }
  DWORD code = GetLastError();
  if (code != ERROR_NOT_SAME_DEVICE) {
    return FilesFailure("could not move " + from + " to " + target + ": " + Win32ErrorText(code) +
                        "; the picture stays at " + from);
  }
  // Across volumes the file is copied under a name of its own beside the target and renamed
  // once complete, so a full disk never leaves a cut-off picture under the final name.
  const std::string partial = target + platform::kPartialFileSuffix;
  if (!CopyFileW(platform::utf8ToWide(from).c_str(), platform::utf8ToWide(partial).c_str(), TRUE) ||
      !MoveFileExW(platform::utf8ToWide(partial).c_str(), platform::utf8ToWide(target).c_str(),
                   MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
    DeleteFileW(platform::utf8ToWide(partial).c_str());
    return FilesFailure("could not copy " + from + " to " + target + ": " + Win32ErrorText(code) +
                        "; the picture stays at " + from);
  }
  if (!DeleteFileW(platform::utf8ToWide(from).c_str())) {
    m_report.progress("the copy at " + target + " is complete, but " + from +
                      " could not be removed: " + Win32ErrorText(GetLastError()));
  }
  return target;
}

void CTetherSteps::reportShot(const Shot& shot, const std::string& label, nlohmann::json* files,
                              bool whole) {
  if (m_observer && whole) m_observer->shotDone(label);
  for (std::size_t i = 0; i < shot.files.size(); ++i) {
    const DownloadedFile& f = shot.files[i];
    if (f.path.empty()) continue;  // announced but never written: the error says so
    const std::string path =
        i < shot.savedPaths.size() && !shot.savedPaths[i].empty() ? shot.savedPaths[i] : f.path;
    const std::string camera = f.deviceId ? cameraLabel(f.deviceId) : std::string();
    m_report.line(ValidUtf8(label + (camera.empty() ? "" : " " + camera) + ": " + f.fileName +
                            "  file_size " + std::to_string(f.announcedSize) + "  download_ms " +
                            std::to_string(static_cast<long long>(f.downloadMs)) + "  path " +
                            path));
    files->push_back({{"capture_id", f.captureId},
                      {"file_name", f.fileName},
                      {"file_size", f.announcedSize},
                      {"has_sidecar", f.hasSidecar},
                      {"path", path},
                      {"download_ms", static_cast<long long>(f.downloadMs)}});
    if (!camera.empty()) {
      files->back()["device_id"] = f.deviceId;
      files->back()["camera"] = camera;
    }
  }
}

Status CTetherSteps::shootOne(const std::string& label, nlohmann::json* files) {
  Shot shot;
  Status kept = keepShot(takeShot(&shot), &shot);
  reportShot(shot, label, files, static_cast<bool>(kept));
  return kept;
}
