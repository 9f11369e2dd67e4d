#include "camera/download/capture_file_names.h"

#include <cstdio>

#include "camera/download/download_directory.h"
#include "camera/maid/maid.h"

CCaptureFileNames& CCaptureFileNames::instance() {
  static CCaptureFileNames names;
  return names;
}

CaptureShotId CCaptureFileNames::newShot() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_nextShot++;
}

std::string CCaptureFileNames::baseName(CaptureShotId shot, const std::string& directory,
                                        const std::vector<std::string>& extensions) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto named = m_shotNames.find(shot);
  if (named != m_shotNames.end()) return named->second;

  char number[32];
  std::snprintf(number, sizeof number, "Capture%04d", m_nextNumber);
  const std::string name = MakeUniqueStem(directory, number, extensions);
  if (name.empty()) return name;
  ++m_nextNumber;
  m_shotNames.emplace(shot, name);
  // Shot ids grow, so the oldest names come first.
  while (m_shotNames.size() > kRememberedNames) m_shotNames.erase(m_shotNames.begin());
  return name;
}

void CCaptureFileNames::restartNumbering(int firstNumber) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_shotNames.clear();
  m_nextNumber = firstNumber;
}

const char* ExtensionForFileDataType(std::uint32_t fileDataType) {
  switch (fileDataType) {
    case kNkMAIDFileDataType_JPEG:
      return ".jpg";
    case kNkMAIDFileDataType_TIFF:
      return ".tif";
    case kNkMAIDFileDataType_NIF:
      return ".nef";
    case kNkMAIDFileDataType_NDF:
      return ".ndf";
    default:
      return ".dat";
  }
}
