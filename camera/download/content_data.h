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
// Threads: only inside SDK callbacks and the container's download, with the SDK lock held.
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
  kDownloadNoFileSize = -1001,    // neither StoredBytes nor the blocks give a usable size
  // -1002 once meant no memory to gather the file in; files are no longer gathered in memory.
  kDownloadCannotCreate = -1003,  // no free name, or the file cannot be created
  kDownloadWriteFailed = -1004,   // writing or closing the file fell short
  kDownloadCannotRename = -1005,  // the finished file cannot take its final name
  kDownloadIncomplete = -1006,    // the transfer ended with bytes of the file missing
  kDownloadNotEnded = -1007,      // the transfer stopped without the camera ending it
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
  // The transfer cannot go on (its camera went): it ends as failed with `errorCode`, unless the
  // file is whole on disk already.
  void cutOff(int errorCode, const std::string& cause) LB_REQUIRES(g_sdkLock);

  CContentContainer* m_container LB_GUARDED_BY(g_sdkLock) = nullptr;  // not owned
  // The file's size: StoredBytes, else the blocks'.
  std::int32_t m_storedBytes LB_GUARDED_BY(g_sdkLock) = 0;
  bool m_hasSidecar LB_GUARDED_BY(g_sdkLock) = false;  // the shot is a RAW+JPEG pair
  // The .part file while it is written.
  std::unique_ptr<std::FILE, CFileCloser> m_file LB_GUARDED_BY(g_sdkLock);
  // The bytes of the file that came from the camera.
  CBlockCoverage m_coverage LB_GUARDED_BY(g_sdkLock);
  // Where m_file stands: the end of the last block.
  std::uint64_t m_writeOffset LB_GUARDED_BY(g_sdkLock) = 0;
  // The file is whole on disk under m_filePath.
  bool m_transferComplete LB_GUARDED_BY(g_sdkLock) = false;
  bool m_transferFailed LB_GUARDED_BY(g_sdkLock) = false;  // the download failed and was reported
  // The completion arrived, or the transfer was given up.
  bool m_transferEnded LB_GUARDED_BY(g_sdkLock) = false;
  // The started Acquire's completion record.
  std::unique_ptr<CPendingCompletion> m_transfer LB_GUARDED_BY(g_sdkLock);
  // Camera clock at the start or the last block.
  std::uint32_t m_lastActivityMs LB_GUARDED_BY(g_sdkLock) = 0;
  // The whole file waiting for its name while the transfer goes on; null otherwise.
  std::unique_ptr<CFileNaming> m_naming LB_GUARDED_BY(g_sdkLock);
  // From the host's fileAnnounced; 0 until then.
  std::int32_t m_captureId LB_GUARDED_BY(g_sdkLock) = 0;
  std::string m_fileName LB_GUARDED_BY(g_sdkLock);  // base name + extension, as the host sees it
  std::string m_filePath LB_GUARDED_BY(g_sdkLock);  // final path on disk (UTF-8)
  std::string m_partPath LB_GUARDED_BY(g_sdkLock);  // m_filePath + ".part", written until complete

 private:
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
  // The transfer ended without its completion: reported complete when the file is whole on
  // disk, else failed with `errorCode` and `cause`.
  void settleWithoutCompletion(int errorCode, const std::string& cause) LB_REQUIRES(g_sdkLock);
  // Closes and removes the .part file, if any.
  void discardFile() LB_REQUIRES(g_sdkLock);
  // Milliseconds since the transfer started, by its container's stopwatch.
  std::int64_t elapsedMs() const LB_REQUIRES(g_sdkLock);
  // The camera the item came from, or null.
  CCamera* camera() const LB_REQUIRES(g_sdkLock);
  void closeSdkObject() LB_REQUIRES(g_sdkLock);
  void finishItem() LB_REQUIRES(g_sdkLock);
};
