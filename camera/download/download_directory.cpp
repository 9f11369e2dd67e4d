#include "camera/download/download_directory.h"

#include <cctype>

#include "platform/free_name.h"
#include "platform/platform.h"
#include "platform/trace.h"

std::string g_downloadDirectory;

const char kPartialFileSuffix[] = ".part";

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

bool StemIsFree(const std::string& directory, const std::string& stem,
                const std::vector<std::string>& extensions,
                const std::function<bool(const std::string&)>& isUnusable) {
  if (isUnusable && isUnusable(stem)) return false;
  for (const std::string& extension : extensions) {
    if (FileNameIsTaken(directory + stem + extension)) return false;
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

bool FileNameIsTaken(const std::string& path) {
  return platform::fileExists(path) || platform::fileExists(path + kPartialFileSuffix);
}

void SplitExtension(const std::string& fileName, std::string& stem, std::string& extension) {
  // Both separators count, as they do for the Windows path functions.
  const std::string::size_type lastSeparator = fileName.find_last_of("\\/");
  const std::string::size_type elementStart =
      lastSeparator == std::string::npos ? 0 : lastSeparator + 1;
  std::string::size_type dot = fileName.find_last_of('.');
  if (dot == std::string::npos || dot < elementStart) dot = fileName.size();
  stem = fileName.substr(0, dot);
  extension = fileName.substr(dot);
}

std::string MakeUniqueStem(const std::string& directory, const std::string& stem,
                           const std::vector<std::string>& extensions,
                           const std::function<bool(const std::string&)>& isUnusable) {
  if (!IsAbsoluteFolderPath(directory) || !IsSeparator(directory.back())) return std::string();
  return platform::FirstFreeStem(stem, 0, [&](const std::string& attempt) {
    return StemIsFree(directory, attempt, extensions, isUnusable);
  });
}

int RemoveLeftoverPartialFiles(const std::string& directory) {
  if (!IsAbsoluteFolderPath(directory) || !IsSeparator(directory.back())) return 0;
  const std::string suffix = kPartialFileSuffix;
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

std::string MakeUniqueFilePath(const std::string& directory, std::string fileName) {
  std::string stem;
  std::string extension;
  SplitExtension(fileName, stem, extension);
  const std::string unique = MakeUniqueStem(directory, stem, {extension});
  return unique.empty() ? std::string() : directory + unique + extension;
}
