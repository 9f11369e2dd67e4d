// The base names of downloaded captures: "Capture0001", "Capture0002" ... numbered for the
// life of the process, one per shot, so the two files of a RAW+JPEG shot share one base name
// and differ only in their extension.
//
// The numbering and the record of names handed out are process-wide rather than kept by a
// camera: a camera object made anew (after a replug, or another camera) goes on where the
// last one stopped, and no base name is ever handed out twice in one process, even when the
// files that carried it have since been moved away.
//
// Which shot a file belongs to is each camera's own business (CShotPairing); this record hands
// out the shot ids and the names. Only the names of the last few hundred shots are kept: a
// shot's files come one right after the other, so memory stays flat over any session.
//
// Threads: any thread; every member takes the record's own lock, so the record does not rely
// on the SDK lock that its callers (download callbacks) happen to hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// The one or two items (RAW+JPEG) that one release of the shutter makes; unique in the process.
using CaptureShotId = std::uint64_t;

class CCaptureFileNames {
 public:
  static CCaptureFileNames& instance();

  // A new shot's id, unique in the process.
  CaptureShotId newShot();

  // The base name of `shot`. On the first call: the next "Capture%04d" of the process, or
  // that name with the first "-0", "-1", ... suffix that is free in `directory` for every one
  // of `extensions` (finished and partial files both count). Every number is used once, so
  // no name is handed out twice. Later calls return the same name. Empty when `directory` cannot be used; the shot then
  // has no name yet and the next call tries again.
  std::string baseName(CaptureShotId shot, const std::string& directory,
                       const std::vector<std::string>& extensions);

  // Forgets every shot and name and numbers from `firstNumber` again, as a new process would:
  // for tests that expect known names.
  void restartNumbering(int firstNumber = 1);

 private:
  static constexpr std::size_t kRememberedNames = 256;

  std::mutex m_lock;                                 // guards every member below
  std::map<CaptureShotId, std::string> m_shotNames;  // base names of the last named shots
  CaptureShotId m_nextShot = 1;
  int m_nextNumber = 1;  // for the next "Capture%04d"
};

// The extension for an SDK file data type: ".jpg", ".tif", ".nef", ".ndf", else ".dat".
const char* ExtensionForFileDataType(std::uint32_t fileDataType);
