// CSettingsThrottle: keeps a module's settings reports to the host half a second apart on the
// camera clock, so a dial turned quickly sends one table per half second rather than one per
// click, and nothing ever sleeps for the spacing.
//
// A change that may not be reported now is marked pending, for the idle pump to send once the
// half second has passed. So is one that comes while a report is being built (inside its SDK
// reads): no table is built inside another, and the host still ends up with the latest values.
//
// Threads: the camera thread, with the SDK lock held, like the module that owns it.
#pragma once

#include <cstdint>

#include "camera/camera_clock.h"

class CSettingsThrottle {
 public:
  static constexpr std::uint32_t kSpacingMs = 500;

  // How long until half a second has passed since the last report began; 0 when it has, or
  // before the first report.
  std::uint32_t spacingLeftMs() const {
    if (!m_reported) return 0;
    const std::uint32_t sinceMs = CameraClockMs() - m_lastReportMs;  // wraps like the clock
    return sinceMs < kSpacingMs ? kSpacingMs - sinceMs : 0;
  }
  // Whether a report may be built now: the spacing has passed and none is being built.
  bool allowsReport() const { return !m_building && spacingLeftMs() == 0; }

  void markPending() { m_pending = true; }
  bool pending() const { return m_pending; }
  // The camera whose change was pending has been let go of.
  void dropPending() { m_pending = false; }

  // Around the building of one report; the spacing counts from its beginning.
  void reportBegins() {
    m_pending = false;
    m_building = true;
    m_reported = true;
    m_lastReportMs = CameraClockMs();
  }
  void reportBuilt() { m_building = false; }

 private:
  std::uint32_t m_lastReportMs = 0;  // camera clock when the last report began
  bool m_reported = false;           // a report has been built
  bool m_pending = false;            // a change waits for the spacing
  bool m_building = false;           // a report is being built
};
