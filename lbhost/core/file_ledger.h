// Where the files of a run are at this moment: announced and still downloading, downloaded into
// the process's download folder, failed, or saved where they belong. lbhost tells the
// photographer from it where every file it did not save is, whenever it stops: at the end of a
// run that failed, and first thing on a second Ctrl+C, which ends lbhost at once from the
// console's handler thread.
// Portable.
// Threads: the run's thread records; any thread may call the readers.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

class CFileLedger {
 public:
  // `downloadFolder` is where the process writes its files (ending with a separator), for
  // telling a whole file there from one still written as ".part".
  explicit CFileLedger(std::string downloadFolder = std::string())
      : m_downloadFolder(std::move(downloadFolder)) {}

  // The camera announced `fileName` as capture `captureId`; its download has begun.
  void downloading(int captureId, const std::string& fileName);
  // The capture is complete at `path`, where the process put it.
  void downloaded(int captureId, const std::string& path);
  // The capture's download failed: there is no file to look for.
  void failed(int captureId);
  // The capture is at `path` for good (moved, or left where the process put it on purpose).
  void saved(int captureId, const std::string& path);

  bool downloadInProgress() const;
  // One line for each file that was announced and not saved, saying where it is; empty
  // when there is none.
  std::vector<std::string> notSaved() const;
  // What a second Ctrl+C prints: how many files were saved and where the others are.
  std::string summary() const;

 private:
  enum class State { Downloading, Downloaded, Failed, Saved };
  struct Entry {
    std::string fileName;
    State state = State::Downloading;
    std::string path;  // downloaded: in the download folder; saved: for good
  };
  std::string whereIs(const Entry& entry) const;  // m_mutex held

  const std::string m_downloadFolder;
  mutable std::mutex m_mutex;      // guards m_entries and m_lastSaved
  std::map<int, Entry> m_entries;  // by capture id, in the camera's order
  std::string m_lastSaved;
};
