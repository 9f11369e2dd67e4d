// The base names of downloaded captures: "Capture0001", "Capture0002" ... numbered for the
// life of the process, one per capture number, so the two files of a RAW+JPEG shot share one
// base name and differ only in their extension.
//
// Threads: used only inside download callbacks, with the SDK lock held.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Base name given to each capture number; never emptied.
extern std::map<std::int32_t, std::string> g_captureFileNames;
// Number for the next "Capture%04d" name; starts at 1.
extern std::int32_t g_nextCaptureFileNumber;

// The extension for an SDK file data type: ".jpg", ".tif", ".nef", ".ndf", else ".dat".
const char* ExtensionForFileDataType(std::uint32_t fileDataType);

// The base name of `captureNumber`, choosing the next "Capture%04d" on first use.
std::string CaptureBaseName(std::uint32_t captureNumber);
