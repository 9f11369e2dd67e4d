#include "platform/free_name.h"

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {
// Every session leaves its files in the folder, so "-10" and beyond are ordinary after a few
// weeks of use.
constexpr int kNumberedSuffixes = 10000;
constexpr int kMadeUpSuffixes = 64;
}  // namespace

std::string FirstFreeStem(const std::string& stem, int first,
                          const std::function<bool(const std::string&)>& isFree) {
  if (isFree(stem)) return stem;
  for (int i = 0; i < kNumberedSuffixes; ++i) {
    const std::string attempt = stem + "-" + std::to_string(first + i);
    if (isFree(attempt)) return attempt;
  }
  const std::uint32_t seed = tickCountMs() * 2654435761u;
  for (std::uint32_t i = 0; i < kMadeUpSuffixes; ++i) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%08X", static_cast<unsigned>(seed + i * 0x9E3779B9u));
    if (isFree(stem + suffix)) return stem + suffix;
  }
  return std::string();
}

const char kPartialFileSuffix[] = ".part";

bool FileNameIsTaken(const std::string& path) {
  return fileExists(path) || fileExists(path + kPartialFileSuffix);
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

std::string FreeFilePath(const std::string& folder, const std::string& fileName, int first) {
  std::string stem;
  std::string extension;
  SplitExtension(fileName, stem, extension);
  const std::string free = FirstFreeStem(stem, first, [&](const std::string& attempt) {
    return !FileNameIsTaken(folder + attempt + extension);
  });
  return free.empty() ? std::string() : folder + free + extension;
}

}  // namespace platform
