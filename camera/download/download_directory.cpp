#include "camera/download/download_directory.h"

#include <cctype>

#include "platform/free_name.h"
#include "platform/platform.h"
#include "platform/trace.h"

std::string g_downloadDirectory;


namespace {

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

int RemoveLeftoverPartialFiles(const std::string& directory) {
  if (!IsClosedAbsoluteFolder(directory)) return 0;
  const std::string suffix = platform::kPartialFileSuffix;
  int removed = 0;
  for (const std::string& name : platform::filesInFolder(directory)) {
    if (name.rfind("Capture", 0) != 0 || name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    if (platform::removeFile(directory + name)) {
      ++removed;
      Trace("Removed %s, left by a download that was cut off", name.c_str());
    }
  }
  return removed;
}

std::string MakeUniqueFilePath(const std::string& directory, const std::string& fileName) {
  if (!IsClosedAbsoluteFolder(directory)) return std::string();
  return platform::FreeFilePath(directory, fileName, 0);
}
