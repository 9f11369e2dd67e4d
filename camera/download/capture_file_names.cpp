#include "camera/download/capture_file_names.h"

#include <cstdio>

#include "camera/download/download_directory.h"
#include "camera/maid/maid.h"

CCaptureFileNames& CCaptureFileNames::instance() {
  static CCaptureFileNames names;
  return names;
}

CaptureShotId CCaptureFileNames::shotForItem(const void* camera, bool continuesPair) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (continuesPair) {
    auto last = m_lastShotOfCamera.find(camera);
    if (last != m_lastShotOfCamera.end()) return last->second;
  }
  // A camera object deleted and another made at the same address opens a new shot here
  // before it could ever continue one, so a stale entry is overwritten before it is read.
  const CaptureShotId shot = m_nextShot++;
  m_lastShotOfCamera[camera] = shot;
  return shot;
}

std::string CCaptureFileNames::baseName(CaptureShotId shot, const std::string& directory,
                                        const std::vector<std::string>& extensions) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto named = m_shotNames.find(shot);
  if (named != m_shotNames.end()) return named->second;

  char number[32];
  std::snprintf(number, sizeof number, "Capture%04d", m_nextNumber);
  const std::string name = MakeUniqueStem(directory, number, extensions, [this](const std::string& stem) {
    return m_handedOut.count(stem) != 0;
  });
  if (name.empty()) return name;
  ++m_nextNumber;
  m_handedOut.insert(name);
  m_shotNames.emplace(shot, name);
  return name;
}

void CCaptureFileNames::restartNumbering(int firstNumber) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_shotNames.clear();
  m_handedOut.clear();
  m_lastShotOfCamera.clear();
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
