// The download stopwatch: times the download in progress, from the start of a transfer to the
// end of its item, on the camera clock (steady: a change of the wall clock mid-transfer does
// not change a download's time).
//
// Each download has its own (its container's), so downloads of several cameras at once each
// tell their own time.
//
// Threads: with the SDK lock held, like the download it times.
#pragma once

#include <cstdint>

#include "camera/camera_clock.h"

struct CDownloadStopwatch {
  std::uint32_t startMs = 0;
  std::uint32_t stopMs = 0;
  bool running = false;

  void start() {
    startMs = CameraClockMs();
    running = true;
  }
  void stop() {
    stopMs = CameraClockMs();
    running = false;
  }
  // Milliseconds from the start to now (running) or to the stop.
  std::int64_t elapsedMs() const { return static_cast<std::uint32_t>((running ? CameraClockMs() : stopMs) - startMs); }
};
