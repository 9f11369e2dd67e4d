// The session script of the camera module fuzzer: one action per byte (the byte modulo
// kActionCount), some followed by one or two operand bytes. Shared by the fuzzer and the
// generator of its seed corpus, so a seed means what it was written to mean.
#pragma once

#include <cstdint>

namespace fuzzscript {

enum Action : std::uint8_t {
  kListDevices,
  kConnect,         // operand: camera id (low two bits)
  kDisconnect,      // operand: camera id
  kCapture,
  kChangeSetting,   // operands: which setting, entry index (signed)
  kGetSettings,     // operand: camera id
  kToggleLiveView,
  kIsLiveViewOn,
  kFocus,           // operand: direction (signed)
  kAutoFocus,
  kCameraTurn,      // one turn of the camera thread (three codes, so turns are common)
  kCameraTurn2,
  kCameraTurn3,
  kPlug,            // operand: camera 1 + (n % 3), plugged when the top bit is set
  kAlive,           // operand: as kPlug, alive when the top bit is set
  kFormat,          // operand: 0 JPEG, 1 RAW, 2 RAW+JPEG
  kTwists,          // operands: a capability left out (when the low bits are set), one retyped
  kDial,            // operand: which dial and how far
  kButton,          // the camera's own shutter button
  kTimePasses,      // operand: tenths of a second, the camera thread at work meanwhile
  kHabit,           // operand: fuzzmodule::Habit
  kEvent,           // operands: which event, its data
  kActionCount
};

// The input's layout: set-up byte (bit 0: a Type0023 module; bits 1-2: the format), the
// script's length in two bytes (little-endian), the script, then the module's answer bytes.
constexpr unsigned kHeaderSize = 3;

}  // namespace fuzzscript
