// A camera module whose answers come from the fuzzer's input.
//
// It behaves like a module in the main (a module object, cameras under it, an item per file of a
// shot with its image data object, data blocks and completions delivered inside the caller's
// Async polls), but wherever a real module may answer otherwise, a byte of the input decides:
// the result of each call, which capabilities a camera lists and with which types, the
// entries, kinds and current indices of its enumerations, which cameras are plugged and alive,
// events delivered inside other calls, how a file's blocks are cut, ordered, repeated or left
// out and what totals they claim, when a started command completes (at once, later, twice,
// never) and with which result, and the size and layout of live-view frames. Answer bytes
// that run out read as zero, and zero is always the plain answer, so a short input is a
// well-behaved camera.
//
// The module also keeps what the fuzzer checks against: the bytes of every block it handed
// over, per file, and every call made with a record it had already closed.
//
// Deterministic and single-threaded; no real time. One module per process (the entry point is
// a plain function): Reset() starts a new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "camera/maid/maid.h"

namespace fuzzmodule {

// The answer stream: one byte per decision, zero once the input is used up.
class CAnswers {
 public:
  void reset(const std::uint8_t* data, std::size_t size) {
    m_data = data;
    m_size = size;
    m_next = 0;
  }
  std::uint8_t byte() { return m_next < m_size ? m_data[m_next++] : 0; }
  // A deviation from the plain answer: 0 for the plain one, else 1..count-1. Most byte values
  // mean "plain", so random answers leave most calls alone and a session gets deep.
  unsigned pick(unsigned count) {
    const std::uint8_t b = byte();
    return b >= 0xF0 ? 1 + (b - 0xF0) % (count - 1) : 0;
  }
  void silence() { m_size = m_next; }

 private:
  const std::uint8_t* m_data = nullptr;
  std::size_t m_size = 0;
  std::size_t m_next = 0;
};

// A camera's own file, as the module makes it: its bytes are a function of its serial number
// and the offset, so a block placed at the wrong offset, or a file of another shot, never
// passes for it.
struct File {
  std::uint32_t serial = 0;
  std::uint32_t size = 0;
  std::vector<bool> delivered;  // per byte: handed over in some block
  std::set<std::uint32_t> claimedTotals;  // the totals its blocks claimed
  static std::uint8_t ByteAt(std::uint32_t serial, std::uint32_t offset) {
    std::uint32_t x = serial * 0x9E3779B1u ^ offset * 0x85EBCA77u;
    x ^= x >> 15;
    x *= 0x2C1B3C6Du;
    return static_cast<std::uint8_t>(x >> 24);
  }
};

enum class Kind { Module, Camera, Item, Data };

struct Item {
  std::string name;        // the camera's own name, "DSC_0001.NEF"
  maid::ULONG fileDataType = kNkMAIDFileDataType_JPEG;
  bool sidecar = false;    // RawJpegImageStatus: one of a RAW+JPEG pair
  std::uint32_t file = 0;  // index into Module::files
  std::vector<maid::ULONG> nested;  // items announced inside this one's transfer
};

struct Camera {
  bool plugged = true;
  bool alive = true;
  unsigned format = 0;              // 0 JPEG, 1 RAW, 2 RAW+JPEG
  std::uint32_t missingCaps = 0;    // bit i: the i-th optional capability is not listed
  std::uint32_t twistedTypes = 0;   // bit i: the i-th optional capability has another type
  maid::ULONG exposure = 0, shutter = 7, aperture = 3, iso = 2, whiteBalance = 0, autoIso = 0;
  maid::ULONG liveView = 0, contrastAf = 0, focusMode = 0, saveMedia = 1;
  bool isoControl = false;
  std::map<maid::ULONG, Item> items;
  maid::ULONG nextItemId = 0x1000;
  unsigned shots = 0;
  std::vector<std::pair<maid::ULONG, maid::NKPARAM>> events;  // for the camera's event procedure
};

// Standing habits of a module, as the simulator knows them: each makes one of the module's
// choices the same way every time, where the answer bytes would make it now and then.
enum class Habit : unsigned {
  JpegFirst,           // a pair's JPEG comes before its RAW
  LateItems,           // a shot's items come after its release completed
  NestedItems,         // the second item of a pair is announced inside the first's transfer
  AsyncBusy,           // every third poll answers "pending" and does nothing
  SyncComplete,        // releases and transfers complete inside the start call
  OutOfFocus,          // a release is taken, and completes with "out of focus"
  RefusedStart,        // a release is refused at once
  RefusedStartLate,    // a release is refused, and completed with the refusal too
  CaptureHangs,        // a release never completes
  TransferLost,        // transfers complete with "camera not found"
  CompleteTwice,       // every completion comes twice
  ItemOpenRefused,     // the next item refuses to open
  StoredBytesWrong,    // StoredBytes disagrees with the blocks
  StoredBytesUnreadable,
  BufferSize,          // capability lists answer "buffer size" three times first
  EventsInCalls,       // camera events come inside any call, not only in polls
  RaggedBlocks,        // blocks of uneven sizes, one of them empty
  SlowLink,            // one block per poll
  LiveViewBusy,        // live-view reads answer "busy" now and then
  LiveViewElements,    // live-view frames counted in 4-byte elements
  LiveViewShort,       // live-view frames cut short
  EnumOutOfRange,      // enumerations give a current index past their entries
  Count
};

// Host-side fuzz actions that change the module between calls.
void AddHabit(Habit habit);
void Reset(const std::uint8_t* answers, std::size_t size, const std::string& moduleType);
// From now on every answer is the plain one (the camera behaves, so the session must settle).
void Calm();
void Plug(maid::ULONG cameraId, bool plugged);
void SetAlive(maid::ULONG cameraId, bool alive);
void SetFormat(maid::ULONG cameraId, unsigned format);
void SetCapabilityTwists(maid::ULONG cameraId, std::uint32_t missing, std::uint32_t twisted);
// A dial on the camera moved: a value changes and the camera says so by an event.
void TurnDial(maid::ULONG cameraId, unsigned which);
// The camera's own shutter button: a shot that no release asked for.
void PressButton(maid::ULONG cameraId);
// An event of the input's choosing, delivered at the camera's next call.
void QueueEvent(maid::ULONG cameraId, maid::ULONG event, maid::NKPARAM data);

maid::NKERROR EntryPoint(maid::MaidObject* object, maid::ULONG command, maid::ULONG param,
                         maid::ULONG dataType, maid::NKPARAM data, maid::CompletionProc proc,
                         maid::NKREF ref);

// What the checks read.
const std::vector<File>& Files();
std::map<maid::ULONG, Camera>& Cameras();
// Calls made with a record after its Close, and calls with a record never opened.
unsigned CallsAfterClose();
// Records still open (the process must close everything it opened before it ends).
std::size_t OpenRecords();
// Whether the module object is open.
bool ModuleOpen();

}  // namespace fuzzmodule
