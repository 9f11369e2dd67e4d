#include "camera/camera_clock.h"

#include <atomic>

#include "platform/platform.h"

namespace {
std::atomic<CameraClockSource> g_clock{nullptr};
}  // namespace

std::uint32_t CameraClockMs() {
  const CameraClockSource clock = g_clock.load();
  return clock ? clock() : platform::tickCountMs();
}

void SetCameraClockForTest(CameraClockSource clock) { g_clock.store(clock); }
