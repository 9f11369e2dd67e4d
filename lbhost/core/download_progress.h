// How far the files of one shot have come, read from the bytes the process has written so far.
// A download counts as alive while its bytes grow: a 100 MB RAW over a slow link is waited for
// as long as it moves, and one that stands still is given up after the run's --timeout, however
// long the file. Portable: the bytes on disk come through the function it is given.
// One thread.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

class CDownloadProgress {
 public:
  // The bytes of `fileName` in the download folder so far (its ".part" while it is written,
  // then the file itself), or nothing when neither can be read.
  using BytesOnDisk = std::function<std::optional<long long>(const std::string& fileName)>;

  explicit CDownloadProgress(BytesOnDisk bytesOnDisk) : m_bytesOnDisk(std::move(bytesOnDisk)) {}

  // A file is being downloaded; the camera announced `size` bytes.
  void started(int captureId, const std::string& fileName, long long size);
  // Its download ended, whole or not: it is no longer watched.
  void ended(int captureId);

  // Reads the files again; true when one of them grew since the last look (a file seen for
  // the first time counts as grown).
  bool grew();
  // "45.2 of 95.4 MiB (47%)" over the files still downloading; empty when there are none.
  std::string describe() const;

 private:
  struct File {
    std::string name;
    long long size = 0;
    long long seen = -1;  // bytes at the last look; -1 before any
  };
  BytesOnDisk m_bytesOnDisk;
  std::map<int, File> m_files;  // by capture id
};
