// Writes the seed corpus of the camera module fuzzer: one session per habit and fault the
// simulated camera knows, and per twist of its capabilities the process once stumbled on, each
// a plain tether session (connect, settings, shots, live view, focus, the camera's own button, a
// dial, an unplug and a replug) with that one trouble set up and no answer bytes, so the fuzzer
// starts from every kind of trouble at once.
// Usage: make_camera_module_seeds FOLDER
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/camera_module_script.h"
#include "sim/sim_habits.h"

namespace {

using namespace fuzzscript;

struct Seed {
  std::string name;
  std::vector<std::uint8_t> before;  // actions that set the trouble up
  unsigned format = 2;               // RAW+JPEG unless the trouble is about something else
};

// The operand of kTwist that leaves `capability` out, or lists it with another type.
std::uint8_t TwistOf(maid::ULONG capability, bool retype) {
  unsigned i = 0;
  while (i + 1 < kTwistableCount && kTwistable[i] != capability) ++i;
  return static_cast<std::uint8_t>(i | (retype ? 0x80 : 0));
}

// The session every seed runs after its set-up, in steps of an action or a few with their
// operands. The bytes stay as they are: the corpus in fuzz/corpus/camera_module/ was written
// from them.
const std::vector<std::vector<std::uint8_t>> kSession = {
    {kListDevices, kCameraTurn, kConnect, 1, kGetSettings, 1},  // camera 1 connected, its settings
    {kChangeSetting, 0, 3},                                     // the shutter set to entry 3
    {kCapture, kTimePasses, 20, kCapture, kTimePasses, 20},     // two shots, two seconds apart
    {kToggleLiveView, kTimePasses, 5, kIsLiveViewOn, kToggleLiveView},  // live view for 0.5 s
    {kFocus, 0xFF, kFocus, 2, kAutoFocus, kAutoFocus},  // focus both ways, auto-focus on and off
    {kButton, kTimePasses, 20},                         // the camera's own button
    {kDial, 0, kCameraTurn, kDial, 7, kCameraTurn},     // the aperture and white balance dials
    {kPlug, 0x00, kCameraTurn, kCameraTurn},            // camera 1 unplugged
    {kPlug, 0x80, kTimePasses, 5},                      // camera 3 plugged
    {kConnect, 1, kCapture, kTimePasses, 30, kDisconnect, 1, kListDevices},
};

bool Write(const std::string& path, const Seed& seed) {
  std::vector<std::uint8_t> script = seed.before;
  for (const auto& step : kSession) script.insert(script.end(), step.begin(), step.end());
  std::vector<std::uint8_t> input{static_cast<std::uint8_t>(seed.format << 1),
                                  static_cast<std::uint8_t>(script.size() & 0xFF),
                                  static_cast<std::uint8_t>(script.size() >> 8)};
  input.insert(input.end(), script.begin(), script.end());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(input.data(), 1, input.size(), file) == input.size();
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::vector<Seed> seeds = {
      {"plain", {}},
      {"jpeg-only", {}, 0},
      {"raw-only", {}, 1},
      {"not-alive", {kAlive, 0x00}},
      {"unplug", {kCameraTurn, kPlug, 0x00}},
      {"third-camera", {kPlug, 0x82}},
      {"camera-button", {kButton, kButton}},
      {"long-exposure", {kExposure, 40}},
      {"no-isalive", {kTwist, TwistOf(kNkMAIDCapability_IsAlive, false)}},
      {"no-iso-control", {kTwist, TwistOf(kNkMAIDCapability_IsoControl, false)}},
      {"exposure-mode-retyped", {kTwist, TwistOf(kNkMAIDCapability_ExposureMode, true)}},
  };
  // Named as the simulator names its habits and faults.
  for (unsigned habit = 0; habit < static_cast<unsigned>(lbsim::Habit::Count); ++habit)
    seeds.push_back({lbsim::HabitName(static_cast<lbsim::Habit>(habit)),
                     {kHabit, static_cast<std::uint8_t>(habit)}});
  for (unsigned fault = 0; fault < kFaultCount; ++fault) {
    std::string name = kFaults[fault] + 6;  // past "fault "
    for (char& c : name) c = c == ' ' ? '-' : c;
    seeds.push_back({name, {kFault, static_cast<std::uint8_t>(fault)}});
  }
  for (const Seed& seed : seeds) {
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    if (!Write(path, seed)) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%zu seeds in %s\n", seeds.size(), argv[1]);
  return 0;
}
