// CFileNaming: a whole downloaded file waiting for its final name, which another program (a
// virus scanner, an indexer, a sync client) keeps from it by holding the new file open for a
// moment without sharing delete.
//
// The rename is tried again with growing pauses for up to kNamingPatienceMs. The bytes are
// whole and the only copy of the picture, so nothing here ever deletes them: while the file
// waits, a marker beside it (WholeMarkerPath) tells a later start that this ".part" file is
// whole. A file that never gets its name (its minute passed, or the process ends first) is
// given its kept name (KeptFilePath) instead, or, when that rename is refused too, left as it
// is with its marker, for the next start to name; the host hears where the bytes are.
//
// While the camera still transfers the file its data object owns the naming, and the transfer's
// completion tells the host of a named file. Once the transfer has ended the naming is handed to
// the held files (AdoptHeldFile), which outlive the camera and its connection: only the
// process's end (EndHeldFiles) cuts the wait short.
//
// Threads: the camera thread, with the SDK lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camera/sdk_lock.h"

// How long a whole file may wait for its name while another program holds it.
constexpr unsigned kNamingPatienceMs = 60000;

class CFileNaming {
 public:
  enum class State { Waiting, Named, Kept };

  // Tries to rename the whole file at `partPath` to `filePath` at once; when that is refused,
  // marks it whole and waits. `fileName` is the name the host was told (announcement
  // `captureId`).
  CFileNaming(std::int32_t captureId, std::string fileName, std::string filePath,
              std::string partPath) LB_REQUIRES(g_sdkLock);
  // A file still waiting when the process ends is given up on: kept, and the host told where.
  ~CFileNaming();
  CFileNaming(const CFileNaming&) = delete;
  CFileNaming& operator=(const CFileNaming&) = delete;

  // Tries the rename again once its pause has passed, and gives up past kNamingPatienceMs.
  State step() LB_REQUIRES(g_sdkLock);
  State state() const { return m_state; }
  // The final path once named.
  const std::string& path() const { return m_filePath; }
  // The camera ended the transfer `elapsedMs` after it started: from now on the host hears of
  // the file here once it has its name (before, the transfer's completion tells it).
  void transferEnded(std::int64_t elapsedMs) LB_REQUIRES(g_sdkLock);

 private:
  // Renames the .part file to its final name, or to a free one when another program took the
  // name; true when it has a name.
  bool giveFinalName() LB_REQUIRES(g_sdkLock);
  // The file will not get its name: it takes its kept name when it can, and the host hears
  // `cause` and where the whole file is.
  void giveUp(const std::string& cause) LB_REQUIRES(g_sdkLock);
  // Writes the marker that says the .part file is whole, unless it is there.
  void markWhole() LB_REQUIRES(g_sdkLock);
  // The file has a name (final or kept): its marker goes.
  void unmark() LB_REQUIRES(g_sdkLock);

  std::int32_t m_captureId;
  std::string m_fileName;
  std::string m_filePath;
  std::string m_partPath;
  State m_state = State::Waiting;
  bool m_marked = false;         // the whole-file marker was written
  bool m_transferEnded = false;  // the host hears of a named file from here
  std::int64_t m_elapsedMs = 0;  // from the transfer's start to its end
  std::uint32_t m_sinceMs = 0;   // camera clock at the first refused rename
  std::uint32_t m_pauseMs = 50;  // the pause before the next try
  std::uint32_t m_nextMs = 0;    // camera clock of the next try
};

// The held files whose transfer has ended, stepped by the camera thread until each has a name
// or is kept. They belong to no camera, so neither an unplugged camera nor a disconnect ends
// their wait.
void AdoptHeldFile(std::unique_ptr<CFileNaming> naming) LB_REQUIRES(g_sdkLock);
// Removes the ".part" file of a failed download; while another program holds it, it is
// removed once let go, by the steps of the held files.
void RemovePartialFile(const std::string& path) LB_REQUIRES(g_sdkLock);
// One try for each held file whose pause has passed, and for each ".part" file still to be
// removed; true while any still waits.
bool StepHeldFiles() LB_REQUIRES(g_sdkLock);
bool HeldFilesWaiting() LB_REQUIRES(g_sdkLock);
// The process ends: every held file still waiting is given up on (kept, and reported); a
// ".part" file still held is left for the next start, which removes it.
void EndHeldFiles() LB_REQUIRES(g_sdkLock);
