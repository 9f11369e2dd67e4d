#include "camera/download/download_directory.h"

#include <algorithm>
#include <cctype>

#include "platform/free_name.h"
#include "platform/platform.h"
#include "platform/trace.h"

std::string g_downloadDirectory;

namespace {

// A whole file that never took its name is kept under "<stem>-kept<extension>"; while it is
// still a ".part" file, this marker beside it says that it is whole.
constexpr char kKeptSuffix[] = "-kept";
constexpr char kWholeMarkerSuffix[] = ".whole";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "C:\...", "\\server\..." and "\\?\C:\..." on Windows; "/..." where '/' is the separator.
bool IsAbsoluteFolderPath(const std::string& path) {
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      IsSeparator(path[2]))
    return true;
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return true;
  return platform::pathSeparator() == '/' && !path.empty() && path[0] == '/';
}

// A folder a file name may be put after: absolute, and ending with its separator.
bool IsClosedAbsoluteFolder(const std::string& directory) {
  return IsAbsoluteFolderPath(directory) && IsSeparator(directory.back());
}

bool StemIsFree(const std::string& directory, const std::string& stem,
                const std::vector<std::string>& extensions,
                const std::function<bool(const std::string&)>& isUnusable) {
  if (isUnusable && isUnusable(stem)) return false;
  for (const std::string& extension : extensions) {
    if (platform::FileNameIsTaken(directory + stem + extension)) return false;
  }
  return true;
}

}  // namespace

std::string FindDownloadDirectory() {
  const std::string temporary = platform::temporaryDirectory();
  const std::string fallback = platform::fallbackTemporaryDirectory();
  const std::string folder = ChooseDownloadDirectory({temporary, fallback});
  if (folder.empty()) {
    Trace("No download folder: neither \"%s\" nor \"%s\" is a folder; downloads will fail",
          temporary.c_str(), fallback.c_str());
  } else if (folder != temporary) {
    Trace("Download folder \"%s\" instead of the temporary folder \"%s\"", folder.c_str(),
          temporary.c_str());
  }
  return folder;
}

std::string ChooseDownloadDirectory(const std::vector<std::string>& candidates) {
  for (std::string folder : candidates) {
    if (!IsAbsoluteFolderPath(folder) || !platform::isDirectory(folder)) continue;
    if (!IsSeparator(folder.back())) folder.push_back(platform::pathSeparator());
    return folder;
  }
  return std::string();
}

std::string MakeUniqueStem(const std::string& directory, const std::string& stem,
                           const std::vector<std::string>& extensions,
                           const std::function<bool(const std::string&)>& isUnusable) {
  if (!IsClosedAbsoluteFolder(directory)) return std::string();
  return platform::FirstFreeStem(stem, 0, [&](const std::string& attempt) {
    return StemIsFree(directory, attempt, extensions, isUnusable);
  });
}

std::string KeptFilePath(const std::string& directory, const std::string& fileName) {
  if (!IsClosedAbsoluteFolder(directory)) return std::string();
  std::string stem;
  std::string extension;
  platform::SplitExtension(fileName, stem, extension);
  return platform::FreeFilePath(directory, stem + kKeptSuffix + extension, 0);
}

std::string WholeMarkerPath(const std::string& partPath) { return partPath + kWholeMarkerSuffix; }

int SettleLeftoverFiles(const std::string& directory) {
  if (!IsClosedAbsoluteFolder(directory)) return 0;
  const std::string part = platform::kPartialFileSuffix;
  const std::string marker = kWholeMarkerSuffix;
  const std::vector<std::string> names = platform::filesInFolder(directory);
  auto has = [&names](const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
  };
  int removed = 0;
  for (const std::string& name : names) {
    if (name.rfind("Capture", 0) != 0) continue;
    if (EndsWith(name, marker) && !has(name.substr(0, name.size() - marker.size()))) {
      platform::removeFile(directory + name);
    } else if (EndsWith(name, part) && has(name + marker)) {
      const std::string fileName = name.substr(0, name.size() - part.size());
      const std::string kept = KeptFilePath(directory, fileName);
      if (!kept.empty() && platform::renameFileNoReplace(directory + name, kept)) {
        platform::removeFile(directory + name + marker);
        Trace("%s is whole but never took its name; it is kept as %s", name.c_str(), kept.c_str());
      } else {
        Trace("%s is whole but never took its name; it stays, held by another program",
              name.c_str());
      }
    } else if (EndsWith(name, part) && platform::removeFile(directory + name)) {
      ++removed;
      Trace("Removed %s, left by a download that was cut off", name.c_str());
    } else if (name.find(kKeptSuffix) != std::string::npos) {
      Trace("%s holds a whole picture that never took its name", name.c_str());
    }
  }
  return removed;
}

std::string MakeUniqueFilePath(const std::string& directory, const std::string& fileName) {
  if (!IsClosedAbsoluteFolder(directory)) return std::string();
  return platform::FreeFilePath(directory, fileName, 0);
}
