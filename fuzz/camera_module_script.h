// The camera module fuzzer's session script: one action per byte (modulo kActionCount), some
// with operand bytes; shared with the generator of its seed corpus, so a seed means what it says.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/maid/maid.h"
#include "tests/session_actions.h"

namespace fuzzscript {

// A part of the input read a byte at a time: the script, or the module's answers. Past its end
// every byte reads as zero.
class CBytes {
 public:
  CBytes(const std::uint8_t* data = nullptr, std::size_t size = 0)
      : m_next(data), m_end(data + size) {}
  bool done() const { return m_next >= m_end; }
  std::uint8_t byte() { return m_next < m_end ? *m_next++ : 0; }

 private:
  const std::uint8_t* m_next;
  const std::uint8_t* m_end;
};

// The actions: the host's requests, then the simulator's control lines (tests/session_actions.h),
// then the fuzzer's own. A request's operands follow it: a byte for the device (camera
// n % 4) when it takes one, a byte for the setting's key (updateCameraSetting), a signed byte
// for the value when it takes one. A control line takes one byte: its value (for exposure-ms
// in tenths of a second, for a StoredBytes claim in 64-byte steps) and, in its top two bits,
// its camera (1 + n % 3).
constexpr std::uint8_t Code(session::Ask ask) { return static_cast<std::uint8_t>(ask); }
constexpr std::uint8_t Code(session::Sim line) {
  return static_cast<std::uint8_t>(session::kAskCount + static_cast<unsigned>(line));
}
enum Action : std::uint8_t {
  kCameraTurn = session::kAskCount + session::kSimCount,  // one turn of the camera thread (three
  kCameraTurn2,                                           // codes, so turns are common)
  kCameraTurn3,
  kTimePasses,  // operand: tenths of a second, the camera thread at work meanwhile
  kTwist,       // operand: a capability (kTwistable), listed with another type when the top bit
                // is set, else left out
  kEvent,       // operands: which event, its data
  kActionCount
};

// The capabilities a twist may leave out or retype: the ones the process reads.
constexpr maid::ULONG kTwistable[] = {
    // what the camera is and holds
    kNkMAIDCapability_IsAlive, kNkMAIDCapability_Name, kNkMAIDCapability_DataTypes,
    kNkMAIDCapability_StoredBytes, kNkMAIDCapability_Firmware, kNkMAIDCapability_BatteryLevel,
    // its settings
    kNkMAIDCapability_ExposureMode, kNkMAIDCapability_ShutterSpeed, kNkMAIDCapability_Aperture,
    kNkMAIDCapability_Sensitivity, kNkMAIDCapability_WBMode, kNkMAIDCapability_FocusMode,
    kNkMAIDCapability_IsoControl, kNkMAIDCapability_RawJpegImageStatus,
    // its kind, live view, focus and where it saves
    kNkMAIDCapability_CameraType, kNkMAIDCapability_LiveViewStatus, kNkMAIDCapability_ContrastAF,
    kNkMAIDCapability_GetLiveViewImage, kNkMAIDCapability_MFDrive, kNkMAIDCapability_SaveMedia,
    kNkMAIDCapability_AutoIsoSensitivity};

// The input's layout: set-up byte (bit 0: a Type0023 module; bits 1-2: the format), the
// script's length in two bytes (little-endian), the script, then the module's answer bytes.
constexpr unsigned kHeaderSize = 3;

}  // namespace fuzzscript
