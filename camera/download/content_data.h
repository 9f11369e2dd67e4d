// CContentData: the image data object of a capture item, and the file it becomes.
//
// The first data block of the file fixes its size, names it, creates "<final name>.part" in
// the download folder and announces the file to the host. Each block is written to the .part
// file at its place as it arrives, so a download needs no memory the size of the file; once
// every byte of the file has arrived, in whatever order and sizes the camera sent them, the
// .part file is closed and renamed to its final name. The completion then tells the host where
// the file is and closes the SDK objects.
//
// Every picture that does not arrive is reported to the host once, as a failed download that
// names the file (when it has a name) and the cause, with the id of its announcement when
// there was one: a file that cannot be sized, created, written or renamed, a transfer
// the camera ends with an error or with bytes still missing, and one that stops without its
// completion. Nothing but a whole file under its final name is ever reported complete, and a
// failed download leaves no file of its own behind.
//
// A whole file whose rename another program refuses waits for its name (CFileNaming): here
// while the transfer goes on, then among the held files, which outlive the camera.
//
// Ownership: owned by its container through m_children; m_file is released by the end of the
// transfer at the latest, and by the destructor whatever happened; m_naming is handed to the
// held files when the transfer ends, or when the object goes first.
//
// Threads: the camera thread, in its steps and the SDK callbacks inside them, with the SDK lock
// held.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "camera/download/block_coverage.h"
#include "camera/download/file_naming.h"
#include "camera/sdk_lock.h"
#include "camera/sdkobject/nikon_object.h"

class CCamera;
class CContentContainer;

// Closes a file that is given up on; a file that is completed is closed by hand, so that a
// failing close is seen.
struct CFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The code of a failed download when the camera gave no result of its own; a failure the
// camera reported carries the camera's result instead.
enum DownloadErrorCode : int {
  kDownloadNoFileSize = -1001,  // neither StoredBytes nor the blocks give a usable size
  // -1002 once meant no memory to gather the file in; files are no longer gathered in memory.
  kDownloadCannotCreate = -1003,  // no free name, or the file cannot be created
  kDownloadWriteFailed = -1004,   // writing or closing the file fell short
  kDownloadCannotRename = -1005,  // the finished file cannot take its final name
  kDownloadIncomplete = -1006,    // the transfer ended with bytes of the file missing
  kDownloadNotEnded = -1007,      // the transfer stopped without the camera ending it
};

// Where a download stands. It only moves forward (CContentData::moveTo):
//   Waiting -> Started -> Writing -> Naming -> Whole -> Downloaded
//                                    Naming -> HandedOff
//   Waiting, Started, Writing or Naming -> Failed -> Lost
// The last three are the ends of the transfer; by then the host has been told of the file, or
// a HandedOff file's naming tells it once the file has its name.
enum class DownloadPhase {
  Waiting,     // queued behind another download: nothing asked of the camera yet
  Started,     // the transfer runs; no block of the file has come
  Writing,     // sized, named and announced; its blocks go to the .part file
  Naming,      // whole on disk, waiting for its final name while the transfer goes on
  Whole,       // whole under its final name; the camera has not ended the transfer yet
  Failed,      // given up on, and the host told; the camera has not ended the transfer yet
  Downloaded,  // ended: the host knows where the whole file is
  HandedOff,   // ended: the whole file waits for its name among the held files
  Lost,        // ended: given up on, and the host told
};

class CContentData : public CNikonObject {
 public:
  // Opens data object 1 of the item. Throws the int SDK result when the open is refused.
  explicit CContentData(CContentContainer* container);
  ~CContentData() override;

  // One data block; always 0 (the SDK is never told of a problem).
  maid::NKERROR onData(void* dataInfo, void* data) override;
  // The end of the transfer.
  void onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) override;

  // Starts the transfer (CapStart of Acquire). True while it is under way; false when the
  // camera refused it or ended it inside the call, its outcome told the host.
  bool startTransfer() LB_REQUIRES(g_sdkLock);
  // One Async poll of the transfer, then its bound: no block and no completion for
  // transferInactivityMs() ends it as failed, as does an Async error.
  void pollTransfer() LB_REQUIRES(g_sdkLock);
  // The transfer ends without its completion (refused, stalled, its camera went): the file
  // fails with `errorCode` and `cause` unless it is whole on disk already. Nothing once ended.
  void cutOff(int errorCode, const std::string& cause) LB_REQUIRES(g_sdkLock);
  // The download goes with its camera or the process: a transfer under way is cut off
  // (kDownloadNotEnded); a waiting one asked nothing of the camera, and the host has not heard
  // of it. Its owner calls this before destroying it.
  void letGo() LB_REQUIRES(g_sdkLock);
  // Its outcome has been told the host, or its whole file handed to the held files to tell.
  bool transferEnded() const LB_REQUIRES(g_sdkLock) {
    return m_phase == DownloadPhase::Downloaded || m_phase == DownloadPhase::HandedOff ||
           m_phase == DownloadPhase::Lost;
  }

  CContentContainer* m_container LB_GUARDED_BY(g_sdkLock) = nullptr;  // not owned
  // The file's size: StoredBytes, else the blocks'.
  std::int32_t m_storedBytes LB_GUARDED_BY(g_sdkLock) = 0;
  bool m_hasSidecar LB_GUARDED_BY(g_sdkLock) = false;  // the shot is a RAW+JPEG pair
  // The .part file while it is written (Writing).
  std::unique_ptr<std::FILE, CFileCloser> m_file LB_GUARDED_BY(g_sdkLock);
  // The bytes of the file that came from the camera.
  CBlockCoverage m_coverage LB_GUARDED_BY(g_sdkLock);
  // Where m_file stands: the end of the last block.
  std::uint64_t m_writeOffset LB_GUARDED_BY(g_sdkLock) = 0;
  // The started Acquire's completion record.
  std::unique_ptr<CPendingCompletion> m_transfer LB_GUARDED_BY(g_sdkLock);
  // Camera clock at the start or the last block.
  std::uint32_t m_lastActivityMs LB_GUARDED_BY(g_sdkLock) = 0;
  // The whole file waiting for its name while the transfer goes on (Naming); null otherwise.
  std::unique_ptr<CFileNaming> m_naming LB_GUARDED_BY(g_sdkLock);
  // From the host's fileAnnounced; 0 until then.
  std::int32_t m_captureId LB_GUARDED_BY(g_sdkLock) = 0;
  std::string m_fileName LB_GUARDED_BY(g_sdkLock);  // base name + extension, as the host sees it
  std::string m_filePath LB_GUARDED_BY(g_sdkLock);  // final path on disk (UTF-8)
  std::string m_partPath LB_GUARDED_BY(g_sdkLock);  // m_filePath + ".part", written until complete

 private:
  // The only way m_phase changes. A move the download's life does not have is a fault of ours:
  // a debug build stops at it; otherwise it is traced and not taken.
  void moveTo(DownloadPhase next) LB_REQUIRES(g_sdkLock);
  // The file is neither whole nor given up on.
  bool fileUnsettled() const LB_REQUIRES(g_sdkLock) {
    return m_phase == DownloadPhase::Waiting || m_phase == DownloadPhase::Started ||
           m_phase == DownloadPhase::Writing;
  }
  // Sizes, names and creates the file at its first block and announces it; false
  // when the download failed (and was reported).
  bool openFile(const maid::MaidDataInfo& info) LB_REQUIRES(g_sdkLock);
  // Writes a block at its place in the .part file; a block that reaches past the file's end
  // names no place in it and is dropped. A write that fails fails the download.
  void storeBlock(const maid::MaidDataInfo& info, const void* data) LB_REQUIRES(g_sdkLock);
  // Closes the whole .part file and gives it the final name, now or by the naming's steps.
  void finishFile() LB_REQUIRES(g_sdkLock);
  // One step of the naming while the transfer goes on: a named file is complete; a kept one
  // has been reported.
  void stepNaming() LB_REQUIRES(g_sdkLock);
  // The transfer is over (or its object goes): the naming goes on among the held files, which
  // tell the host.
  void handOffNaming() LB_REQUIRES(g_sdkLock);
  // Gives up on the file: removes what it left on disk and reports the
  // failure to the host (once per file).
  void fail(int errorCode, const std::string& cause) LB_REQUIRES(g_sdkLock);
  // The transfer is over and the file whole or given up on: a whole one is reported (or handed
  // to the held files, which report it once named), and the SDK objects are closed.
  void endTransfer() LB_REQUIRES(g_sdkLock);
  // Closes and removes the .part file, if any.
  void discardFile() LB_REQUIRES(g_sdkLock);
  // Milliseconds since the transfer started, by its container's stopwatch.
  std::int64_t elapsedMs() const LB_REQUIRES(g_sdkLock);
  // The camera the item came from, or null.
  CCamera* camera() const LB_REQUIRES(g_sdkLock);
  void closeSdkObject() LB_REQUIRES(g_sdkLock);
  void finishItem() LB_REQUIRES(g_sdkLock);

  DownloadPhase m_phase LB_GUARDED_BY(g_sdkLock) = DownloadPhase::Waiting;
};
