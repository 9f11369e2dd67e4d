// What the simulated module has plugged in: its cameras and the times they come and go.
//
// A scenario is a small text file, one statement per line, '#' starts a comment:
//   module <TypeNNNN>|any
//   camera <id> [type=<n>] [exposure=<0..3>] [iso-auto=<0|1>] [format=jpeg|raw|raw+jpeg]
//               [raw-bytes=<n>] [plugged=<0|1>] [habits=<habit>,...] [rate=<MB/s>]
//               [exposure-ms=<n>] [photo-width=<n>] [name=<rest of the line>]
//   at <milliseconds> plug|unplug <id>
// The cameras and timed events after a `module` line belong to that module only; before any
// `module` line (or after `module any`) to every module. Times count from the module's open.
// The simulator reads the file named by LBSIM_SCENARIO; without one, each module has its
// built-in cameras.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_habits.h"
#include "sim/sim_picture.h"

namespace lbsim {

enum class ImageFormat { Jpeg, Raw, RawPlusJpeg };

// The longest timed exposure a camera takes: four hours, past any night sky's.
constexpr std::uint32_t kLongestExposureMs = 4u * 60u * 60u * 1000u;
// The slowest a camera fires after its release starts: a real body takes tens of milliseconds.
constexpr std::uint32_t kLongestReleaseLatencyMs = 10000;

struct CameraSetup {
  std::uint32_t id = 1;
  std::string name = "D850";
  std::uint32_t type = 43;         // kNkMAIDCapability_CameraType
  std::uint32_t exposureMode = 3;  // 0 program, 1 aperture, 2 shutter priority, 3 manual
  bool isoAuto = false;
  ImageFormat format = ImageFormat::Jpeg;
  std::uint32_t rawBytes = 12u * 1024u * 1024u;
  bool plugged = true;
  HabitSet habits;
  std::uint32_t rateMBps = 35;             // the link's pace under the slow-link habit
  std::uint32_t exposureMs = 0;            // how long a release's shot takes before it completes
  std::uint32_t releaseLatencyMs = 0;      // how long the camera takes to fire once released
  std::uint32_t photoWidth = kPhotoWidth;  // the JPEG's width (ShotJpeg); live-view frames
                                           // are 640 x 424, or as small as the JPEG
  std::string module;                      // the module it is on; empty: every module
};

struct TimedEvent {
  std::uint32_t atMs = 0;
  bool plug = true;
  std::uint32_t cameraId = 0;
  std::string module;  // as CameraSetup::module
};

struct Scenario {
  std::vector<CameraSetup> cameras;
  std::vector<TimedEvent> events;
};

// The cameras a module has when no scenario file is given: one camera on Type0001, none on
// the others, so a plain demo session sees exactly one camera.
Scenario DefaultScenario(const std::string& moduleType);

// The cameras and events of the scenario that belong on module `moduleType`.
Scenario ScenarioForModule(const Scenario& scenario, const std::string& moduleType);

// Parses scenario text. False with a message naming the line on the first bad statement.
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);

// The format named by "jpeg", "raw" or "raw+jpeg"; false for anything else.
bool ParseImageFormat(const std::string& text, ImageFormat& format);

}  // namespace lbsim
