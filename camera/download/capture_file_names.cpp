#include "camera/download/capture_file_names.h"

#include <cstdio>

#include "camera/maid/maid.h"

std::map<std::int32_t, std::string> g_captureFileNames;
std::int32_t g_nextCaptureFileNumber = 1;

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

std::string CaptureBaseName(std::uint32_t captureNumber) {
  std::string& baseName = g_captureFileNames[static_cast<std::int32_t>(captureNumber)];
  if (baseName.empty()) {
    char text[32];
    std::snprintf(text, sizeof text, "Capture%04d", static_cast<int>(g_nextCaptureFileNumber));
    ++g_nextCaptureFileNumber;
    baseName = text;
  }
  return baseName;
}
