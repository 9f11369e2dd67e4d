// The download stopwatch: times the download in progress, from the start of a transfer to the
// end of its item. It counts in the system clock's 100-nanosecond ticks.
//
// Each download has its own (its container's), so downloads of several cameras at once each
// tell their own time.
//
// Threads: with the SDK lock held, like the download it times.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct CDownloadStopwatch {
  std::int64_t startTicks = 0;
  std::int64_t stopTicks = 0;
  bool running = false;

  void start() {
    startTicks = platform::systemTicks100ns();
    running = true;
  }
  void stop() {
    stopTicks = platform::systemTicks100ns();
    running = false;
  }
  // Milliseconds from the start to now (running) or to the stop, truncated toward zero.
  std::int64_t elapsedMs() const {
    const std::int64_t end = running ? platform::systemTicks100ns() : stopTicks;
    return (end - startTicks) / 10000;
  }
};

