// The session script of the camera module fuzzer: one action per byte (the byte modulo
// kActionCount), some followed by one or two operand bytes. Shared by the fuzzer and the
// generator of its seed corpus, so a seed means what it was written to mean.
#pragma once

#include <cstddef>
#include <cstdint>

#include "camera/maid/maid.h"

namespace fuzzscript {

// A part of the input read a byte at a time: the script, or the module's answers. Past its end
// every byte reads as zero.
class CBytes {
 public:
  CBytes(const std::uint8_t* data = nullptr, std::size_t size = 0)
      : m_next(data), m_end(data + size) {}
  bool done() const { return m_next >= m_end; }
  std::uint8_t byte() { return m_next < m_end ? *m_next++ : 0; }
  // From now on every byte reads as zero.
  void stop() { m_end = m_next; }

 private:
  const std::uint8_t* m_next;
  const std::uint8_t* m_end;
};

enum Action : std::uint8_t {
  kListDevices,
  kConnect,     // operand: camera id (low two bits); the top bit keeps the cameras connected
                // before (a rig), and bit 6 then fires every connected camera as a rig
  kDisconnect,  // operand: camera id
  kCapture,
  kChangeSetting,  // operands: which setting, entry index (signed)
  kGetSettings,    // operand: camera id
  kToggleLiveView,
  kIsLiveViewOn,
  kFocus,  // operand: direction (signed)
  kAutoFocus,
  kCameraTurn,  // one turn of the camera thread (three codes, so turns are common)
  kCameraTurn2,
  kCameraTurn3,
  kPlug,        // operand: camera 1 + (n % 3), plugged when the top bit is set
  kAlive,       // operand: as kPlug; IsAlive false until calm, or (top bit) alive-false
  kFormat,      // operand: 0 JPEG, 1 RAW, 2 RAW+JPEG
  kTwist,       // operand: a capability (kTwistable), listed with another type when the
                // top bit is set, else left out
  kDial,        // operand: which dial and how far
  kButton,      // the camera's own shutter button
  kTimePasses,  // operand: tenths of a second, the camera thread at work meanwhile
  kHabit,       // operand: the simulator's habit (lbsim::Habit) switched on for camera 1
  kEvent,       // operands: which event, its data
  kFault,       // operand: one of the simulator's faults (kFaults)
  kExposure,    // operand: tenths of a second each release of camera 1 exposes
  kActionCount
};

// The capabilities a twist may leave out or retype: the ones the process reads.
constexpr maid::ULONG kTwistable[] = {
    kNkMAIDCapability_IsAlive,
    kNkMAIDCapability_Name,
    kNkMAIDCapability_DataTypes,
    kNkMAIDCapability_StoredBytes,
    kNkMAIDCapability_Firmware,
    kNkMAIDCapability_BatteryLevel,
    kNkMAIDCapability_ExposureMode,
    kNkMAIDCapability_ShutterSpeed,
    kNkMAIDCapability_Aperture,
    kNkMAIDCapability_Sensitivity,
    kNkMAIDCapability_WBMode,
    kNkMAIDCapability_FocusMode,
    kNkMAIDCapability_IsoControl,
    kNkMAIDCapability_RawJpegImageStatus,
    kNkMAIDCapability_CameraType,
    kNkMAIDCapability_LiveViewStatus,
    kNkMAIDCapability_ContrastAF,
    kNkMAIDCapability_GetLiveViewImage,
    kNkMAIDCapability_MFDrive,
    kNkMAIDCapability_SaveMedia,
    kNkMAIDCapability_AutoIsoSensitivity,
};
constexpr unsigned kTwistableCount = sizeof kTwistable / sizeof kTwistable[0];

// The simulator's faults, as its control lines name them.
constexpr const char* kFaults[] = {
    "fault open-refused item",    "fault open-refused 1", "fault buffersize",
    "fault transfer-lost",        "fault capture-hangs",  "fault liveview-short",
    "fault liveview-short empty", "fault block-wrap",     "fault storedbytes-unreadable",
    "fault storedbytes 4096",
};
constexpr unsigned kFaultCount = sizeof kFaults / sizeof kFaults[0];

// The input's layout: set-up byte (bit 0: a Type0023 module; bits 1-2: the format), the
// script's length in two bytes (little-endian), the script, then the module's answer bytes.
constexpr unsigned kHeaderSize = 3;

}  // namespace fuzzscript
