// Writes the seed corpus of the camera module fuzzer: one session per habit and fault the
// simulated camera knows, and per twist of its capabilities the process once stumbled on, each
// a plain tether session (connect, settings, shots, live view, focus, the camera's own button, a
// dial, an unplug and a replug) with that one trouble set up and no answer bytes, so the fuzzer
// starts from every kind of trouble at once.
// Usage: make_camera_module_seeds FOLDER
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/camera_module_script.h"

namespace {

using namespace fuzzscript;

struct Seed {
  std::string name;
  std::vector<std::uint8_t> before;  // actions that set the trouble up
  unsigned format = 2;               // RAW+JPEG unless the trouble is about something else
};

// The operand of kTwist that leaves `capability` out, or lists it with another type.
std::uint8_t TwistOf(maid::ULONG capability, bool retype) {
  const auto i = std::find(std::begin(kTwistable), std::end(kTwistable), capability) - kTwistable;
  return static_cast<std::uint8_t>(i | (retype ? 0x80 : 0));
}

using namespace session;

// The session every seed runs after its set-up, in steps of an action or a few with their
// operands (a control line's camera is 1 + operand / 64).
const std::vector<std::vector<std::uint8_t>> kSession = {
    {Code(Ask::ListDevices), kCameraTurn, Code(Ask::Connect), 1, Code(Ask::GetSettings), 1},
    {Code(Ask::ChangeSetting), 1, 1, 3},  // the shutter ("shutterValue") set to entry 3
    {Code(Ask::Capture), kTimePasses, 20, Code(Ask::Capture), kTimePasses, 20},  // two shots
    {Code(Ask::ToggleLiveView), kTimePasses, 5, Code(Ask::IsLiveViewOn),
     Code(Ask::ToggleLiveView)},  // live view for 0.5 s
    {Code(Ask::Focus), 0xFF, Code(Ask::Focus), 2, Code(Ask::AutoFocus), Code(Ask::AutoFocus)},
    {Code(Sim::Shoot), 0, kTimePasses, 20},                              // the camera's own button
    {Code(Sim::Dial), 0, kCameraTurn, Code(Sim::Dial), 7, kCameraTurn},  // aperture, white balance
    {Code(Sim::Unplug), 0, kCameraTurn, kCameraTurn},                    // camera 1 unplugged
    {Code(Sim::Plug), 0x80, kTimePasses, 5},                             // camera 3 plugged
    {Code(Ask::Connect), 1, Code(Ask::Capture), kTimePasses, 30, Code(Ask::Disconnect), 1,
     Code(Ask::ListDevices)},
};

bool Write(const std::string& path, const Seed& seed) {
  std::vector<std::uint8_t> script = seed.before;
  for (const auto& step : kSession) script.insert(script.end(), step.begin(), step.end());
  std::ofstream out(path, std::ios::binary);
  out << static_cast<char>(seed.format << 1) << static_cast<char>(script.size() & 0xFF)
      << static_cast<char>(script.size() >> 8);
  out.write(reinterpret_cast<const char*>(script.data()),
            static_cast<std::streamsize>(script.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]), 2;
  std::vector<Seed> seeds = {
      {"plain", {}},
      {"jpeg-only", {}, 0},
      {"raw-only", {}, 1},
      {"not-alive", {Code(Sim::NotAlive), 0}},
      {"open-refused-1", {Code(Sim::OpenRefused), 0}},
      {"storedbytes-4096", {Code(Sim::StoredBytes), 4096 / 64}},
      {"unplug", {kCameraTurn, Code(Sim::Unplug), 0}},
      {"third-camera", {Code(Sim::Plug), 0x80}},
      {"own-button", {Code(Sim::Shoot), 0, Code(Sim::Shoot), 0}},
      {"long-exposure", {Code(Sim::Exposure), 40}},
      {"no-isalive", {kTwist, TwistOf(kNkMAIDCapability_IsAlive, false)}},
      {"no-iso-control", {kTwist, TwistOf(kNkMAIDCapability_IsoControl, false)}},
      {"exposure-mode-retyped", {kTwist, TwistOf(kNkMAIDCapability_ExposureMode, true)}}};
  // Named as the simulator names its habits and faults.
  for (unsigned habit = 0; habit < static_cast<unsigned>(lbsim::Habit::Count); ++habit)
    seeds.push_back({lbsim::HabitName(static_cast<lbsim::Habit>(habit)),
                     {Code(Sim::HabitOn), static_cast<std::uint8_t>(habit)}});
  for (unsigned fault = 0; fault < std::size(session::kFaults); ++fault) {
    std::string name = session::kFaults[fault];
    for (char& c : name) c = c == ' ' ? '-' : c;
    seeds.push_back({name, {Code(Sim::Fault), static_cast<std::uint8_t>(fault)}});
  }
  for (const Seed& seed : seeds) {
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    if (!Write(path, seed)) return std::fprintf(stderr, "cannot write %s\n", path.c_str()), 1;
  }
  std::printf("%zu seeds in %s\n", seeds.size(), argv[1]);
  return 0;
}
