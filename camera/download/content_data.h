// CContentData: the image data object of a capture item, and the file it becomes.
//
// The first data block opens the file in the download folder under the capture's base name
// and announces it to the host; the blocks are gathered in memory; the last one
// writes the whole file in one write; the completion tells the host the file is there
// and closes the SDK objects.
//
// A download that cannot be stored (no size to buffer, no memory, the file cannot be created,
// the write falls short) leaves no partial file behind and reports no completed file;
// the host is never told of a file that is not complete on disk.
//
// Ownership: owned by its container through m_children; m_file and m_buffer are released by
// the end of the transfer at the latest, and by the destructor whatever happened.
//
// Threads: only inside SDK callbacks, with the SDK lock held.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "camera/sdk_lock.h"
#include "camera/sdkobject/nikon_object.h"

class CContentContainer;

// Closes a file that is given up on; a file that is completed is closed by hand, so that a
// failing close is seen.
struct CFileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

class CContentData : public CNikonObject {
 public:
  // Opens data object 1 of the item. Throws the int SDK result when the open is refused.
  CContentData(CContentContainer* container, std::uint32_t captureNumber);
  ~CContentData() override;

  // One data block; always 0 (the SDK is never told of a problem).
  maid::NKERROR onData(void* dataInfo, void* data) override;
  // The end of the transfer.
  void completionCallback(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context);
  void onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) override {
    completionCallback(command, result, context);
  }

  CContentContainer* m_container = nullptr;  // not owned
  std::int32_t m_storedBytes = 0;            // file size from kNkMAIDCapability_StoredBytes
  bool m_hasSidecar = false;                 // the shot is a RAW+JPEG pair
  std::unique_ptr<std::FILE, CFileCloser> m_file;  // the output file while it is written
  std::unique_ptr<unsigned char[], CFreeDeleter> m_buffer;  // the whole file (malloc)
  std::uint32_t m_initializedBytes = 0;      // m_buffer below this holds data or zeros
  bool m_transferComplete = false;           // the file is complete on disk
  bool m_transferFailed = false;             // the file could not be stored; blocks are ignored
  std::int32_t m_captureId = 0;              // from the host's fileAnnounced
  std::string m_fileName;                    // base name + extension, as the host sees it
  std::string m_filePath;                    // full path on disk (UTF-8)
  std::uint32_t m_captureNumber = 0;

 private:
  // Opens the file and its buffer at the first block; false (and the download failed) when
  // either cannot be had.
  bool openFile(const maid::MaidDataInfo& info) LB_REQUIRES(g_sdkLock);
  // Writes the buffer in one write and closes the file; a short write deletes the file.
  void writeFile();
  // Closes and deletes a file that will not be completed, and releases the buffer.
  void discardFile();
  void closeSdkObject();
};
