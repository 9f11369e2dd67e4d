// The one clock of the camera layer: every bound of a long operation (a release's two
// minutes, a transfer's half minute without a block, the quarter-second presence check, the
// retries of a rename) is measured on it, so tests can drive time instead of sleeping.
//
// Threads: read with the SDK lock held; a test installs its clock before the camera layer runs
// and removes it afterwards.
#pragma once

#include <cstdint>

// Milliseconds of a steady clock; only differences are meaningful (it wraps like a tick count).
std::uint32_t CameraClockMs();

// Makes CameraClockMs answer `clock()` (tests); null goes back to the system's tick count.
using CameraClockSource = std::uint32_t (*)();
void SetCameraClockForTest(CameraClockSource clock);
