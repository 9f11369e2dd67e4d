// The one clock of a test. While it lives, the camera clock (and with it every bound of the
// camera layer and the camera worker's heartbeat) stands where the test puts it, and so does
// whatever follows it (the simulated modules, told their time by a control line): time passes
// only when the test says, so nothing waits for real time and nothing depends on the machine's
// speed.
//
// Threads: one clock at a time, set by the test's thread; read by any.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "camera/camera_clock.h"

class CTestClock {
 public:
  // Told the time whenever it changes, and at the start.
  using Follower = std::function<void(std::uint32_t nowMs)>;

  explicit CTestClock(std::uint32_t startMs, Follower follower = {})
      : m_follower(std::move(follower)) {
    set(startMs);
    SetCameraClockForTest(&Now);
    s_current = this;
  }
  ~CTestClock() {
    s_current = nullptr;
    s_msPerRead = 0;
    SetCameraClockForTest(nullptr);
  }
  // The clock that lives now, or null.
  static CTestClock* Current() { return s_current; }
  CTestClock(const CTestClock&) = delete;
  CTestClock& operator=(const CTestClock&) = delete;

  static std::uint32_t Now() {
    const std::uint32_t tick = s_msPerRead.load();
    if (tick == 0) return s_nowMs.load();
    // A clock that moves as it is read: time passes with the work that looks at it.
    const std::uint32_t now = s_nowMs.fetch_add(tick) + tick;
    if (s_current && s_current->m_follower) s_current->m_follower(now);
    return now;
  }
  // From now on every reading moves the clock on by `ms` first (0: it stands still again).
  void tickOnEveryRead(std::uint32_t ms) { s_msPerRead = ms; }
  void set(std::uint32_t ms) {
    s_nowMs = ms;
    if (m_follower) m_follower(ms);
  }
  void advance(std::uint32_t ms) { set(s_nowMs.load() + ms); }

 private:
  static inline std::atomic<std::uint32_t> s_nowMs{0};
  static inline std::atomic<std::uint32_t> s_msPerRead{0};
  static inline CTestClock* s_current = nullptr;
  Follower m_follower;
};
