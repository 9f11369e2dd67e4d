#include "camera/download/download_directory.h"

#include "platform/platform.h"

std::string g_downloadDirectory;

namespace {

// The extension of the last path element: from its last dot on, dot included; empty when
// the element has no dot. Both separators count, as they do for the Windows path functions.
std::string::size_type ExtensionStart(const std::string& path) {
  const std::string::size_type lastSeparator = path.find_last_of("\\/");
  const std::string::size_type elementStart =
      lastSeparator == std::string::npos ? 0 : lastSeparator + 1;
  const std::string::size_type dot = path.find_last_of('.');
  if (dot == std::string::npos || dot < elementStart) return path.size();
  return dot;
}

}  // namespace

std::string MakeUniqueFilePath(const std::string& directory, std::string fileName) {
  const std::string candidate = directory + fileName;
  if (!platform::fileExists(candidate)) return candidate;

  // The name is split without fixed-size buffers, so a long name gets its suffix like any
  // other instead of failing the split.
  const std::string::size_type extensionStart = ExtensionStart(candidate);
  const std::string stem = candidate.substr(0, extensionStart);
  const std::string extension = candidate.substr(extensionStart);
  for (int i = 0; i < 10; ++i) {
    std::string attempt = stem + "-" + std::to_string(i) + extension;
    if (!platform::fileExists(attempt)) return attempt;
  }
  return platform::createTemporaryFile(directory, fileName);
}
