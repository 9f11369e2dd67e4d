// The base names of downloaded captures: "Capture0001", "Capture0002" ... numbered for the
// life of the process, one per shot, so the two files of a RAW+JPEG shot share one base name
// and differ only in their extension.
//
// The numbering and the record of names handed out are process-wide rather than kept by a
// camera: a camera object made anew (after a replug, or another camera) goes on where the
// last one stopped, and no base name is ever handed out twice in one process, even when the
// files that carried it have since been moved away.
//
// Threads: any thread; every member takes the record's own lock, so the record does not rely
// on the SDK lock that its callers (download callbacks) happen to hold.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The one or two items (RAW+JPEG) that one release of the shutter makes; unique in the process.
using CaptureShotId = std::uint64_t;

class CCaptureFileNames {
 public:
  static CCaptureFileNames& instance();

  // The shot a new item belongs to. `camera` identifies the camera object the item came from
  // and is never dereferenced. The second item of a RAW+JPEG pair (`continuesPair`) joins
  // the shot that the same camera object's previous item opened; any other item opens a new
  // shot.
  CaptureShotId shotForItem(const void* camera, bool continuesPair);

  // The base name of `shot`. On the first call: the next "Capture%04d" of the process, or
  // that name with the first "-0", "-1", ... suffix that is free in `directory` for every one
  // of `extensions` (finished and partial files both count) and was never handed out before.
  // Later calls return the same name. Empty when `directory` cannot be used; the shot then
  // has no name yet and the next call tries again.
  std::string baseName(CaptureShotId shot, const std::string& directory,
                       const std::vector<std::string>& extensions);

  // Forgets every shot and name and numbers from `firstNumber` again, as a new process would:
  // for tests that expect known names.
  void restartNumbering(int firstNumber = 1);

 private:
  std::mutex m_lock;  // guards every member below
  std::map<CaptureShotId, std::string> m_shotNames;       // base name of each named shot
  std::set<std::string> m_handedOut;                      // every base name given so far
  std::map<const void*, CaptureShotId> m_lastShotOfCamera;  // keys are never dereferenced
  CaptureShotId m_nextShot = 1;
  int m_nextNumber = 1;  // for the next "Capture%04d"
};

// The extension for an SDK file data type: ".jpg", ".tif", ".nef", ".ndf", else ".dat".
const char* ExtensionForFileDataType(std::uint32_t fileDataType);
