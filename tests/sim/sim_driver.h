// A caller of a simulated module that behaves as the camera layer does, but records
// everything: which event, block and completion came inside which of its calls, and each
// downloaded file's blocks and bytes. Tests of the simulator drive it through this.
//
// Threads: one test thread; the module calls back on it, inside the driver's own calls.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camera/maid/maid.h"

namespace simtest {

// What the module delivered and inside which of our calls (kNoCall when none was running).
constexpr maid::ULONG kNoCall = 0xFFFFFFFFu;

struct SeenEvent {
  bool fromModule;       // the module object's event, else the camera's
  maid::ULONG event;
  maid::NKPARAM data;
  maid::ULONG insideCall;
};

struct SeenCompletion {
  maid::ULONG param;     // the capability started
  maid::NKERROR result;
  maid::ULONG insideCall;
};

struct SeenBlock {
  maid::ULONG flags, fileType, total, offset, length;
};

struct Download {
  maid::ULONG itemId = 0;
  std::vector<SeenBlock> blocks;
  std::vector<unsigned char> bytes;  // grown to the highest block end
  bool completed = false;
  maid::NKERROR result = 0;
  std::vector<maid::ULONG> announcedDuring;  // items announced while this one transferred
};

// Empty when `blocks` (anything with an offset and a length) cover [0, total) exactly once;
// else what is wrong.
template <class Block>
std::string CoverageProblem(std::vector<Block> blocks, std::uint64_t total) {
  std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.offset < b.offset; });
  std::uint64_t next = 0;
  for (const Block& b : blocks) {
    if (b.offset != next) return "gap or overlap at " + std::to_string(next);
    next += b.length;
  }
  return next == total ? "" : "ends at " + std::to_string(next);
}

class CSimDriver {
 public:
  // Loads `moduleFile` ("Type0001.md3"), writes `scenario` to a private file for it and
  // resets the module to it. The module opens; the destructor closes it.
  CSimDriver(const char* moduleFile, const std::string& scenario);
  ~CSimDriver();
  CSimDriver(const CSimDriver&) = delete;
  CSimDriver& operator=(const CSimDriver&) = delete;

  bool ready() const { return m_entry && m_control && m_moduleOpen; }
  int control(const std::string& line) { return m_control(line.c_str()); }

  // One SDK call, recorded as the call in progress while it runs.
  maid::NKERROR call(maid::MaidObject* object, maid::ULONG command, maid::ULONG param = 0,
                     maid::ULONG dataType = 0, maid::NKPARAM data = 0);

  maid::MaidObject* module() { return &m_module; }
  // Closes the module before the destructor would.
  maid::NKERROR closeModule() {
    m_moduleOpen = false;
    return call(&m_module, kNkMAIDCommand_Close);
  }
  // Opens camera `id` with its event and data procedures; null when the module refuses.
  maid::MaidObject* openCamera(maid::ULONG id);
  maid::MaidObject* camera() { return m_camera.get(); }

  std::vector<maid::ULONG> children(maid::MaidObject* object);
  maid::NKERROR getUnsigned(maid::ULONG capId, maid::ULONG& value);
  maid::NKERROR setUnsigned(maid::ULONG capId, maid::ULONG value);
  maid::NKERROR getEnum(maid::ULONG capId, maid::MaidEnum& descriptor);
  maid::NKERROR setEnumIndex(maid::ULONG capId, maid::ULONG index);

  // CapStart of Capture on the camera, with the recording completion procedure.
  maid::NKERROR startCapture();
  maid::NKERROR poll(maid::MaidObject* object = nullptr);  // Async, on the camera by default
  // Polls until a capture completion arrives or `maxPolls` polls have gone by.
  bool pollUntilCaptureCompletes(int maxPolls = 50);

  // Downloads item `itemId` as the camera layer does: opens it and its data object, starts
  // Acquire and polls the data object until the completion (at most `maxMs`).
  Download& download(maid::ULONG itemId, unsigned maxMs = 10000);

  // Whether an AddChild of the camera starts that item's download at once, inside the event.
  bool downloadOnAnnounce = true;

  std::vector<SeenEvent> events;
  std::vector<SeenCompletion> completions;
  std::map<maid::ULONG, Download> downloads;

 private:
  static void onModuleEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data);
  static void onCameraEvent(maid::NKREF ref, maid::ULONG event, maid::NKPARAM data);
  static maid::NKERROR onData(maid::NKREF ref, void* info, void* data);
  static void onAcquired(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                         maid::ULONG dataType, maid::NKPARAM data, maid::NKREF ref,
                         maid::NKERROR result);
  static void onCaptured(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                           maid::ULONG dataType, maid::NKPARAM data, maid::NKREF ref,
                           maid::NKERROR result);
  maid::ULONG currentCall() const { return m_calls.empty() ? kNoCall : m_calls.back(); }

  maid::EntryPoint m_entry = nullptr;
  int (*m_control)(const char*) = nullptr;
  std::string m_scenarioPath;
  maid::MaidObject m_module{};
  bool m_moduleOpen = false;
  std::unique_ptr<maid::MaidObject> m_camera;
  std::vector<maid::ULONG> m_calls;                  // the commands in progress, innermost last
  std::vector<maid::ULONG> m_transferring;           // items whose transfer is in progress
};

}  // namespace simtest
