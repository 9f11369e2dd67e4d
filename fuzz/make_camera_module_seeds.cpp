// Writes the seed corpus of the camera module fuzzer: one session per habit and fault the
// simulated camera knows, each a plain tether session (connect, settings, shots, live view,
// focus, the camera's own button, a dial, an unplug and a replug) with that one habit on and no
// answer bytes, so the fuzzer starts from every kind of trouble at once.
// Usage: make_camera_module_seeds FOLDER
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/camera_module_script.h"
#include "fuzz/fuzzed_camera_module.h"

namespace {

using namespace fuzzscript;
using fuzzmodule::Habit;

struct Seed {
  const char* name;
  std::vector<std::uint8_t> before;  // actions that set the trouble up
  unsigned format = 2;               // RAW+JPEG unless the trouble is about something else
};

std::vector<std::uint8_t> HabitAction(Habit habit) { return {kHabit, static_cast<std::uint8_t>(habit)}; }

// The session every seed runs after its set-up.
std::vector<std::uint8_t> Session() {
  return {kListDevices, kCameraTurn, kConnect, 1, kGetSettings, 1, kChangeSetting, 0, 3,
          kCapture, kTimePasses, 20, kCapture, kTimePasses, 20,
          kToggleLiveView, kTimePasses, 5, kIsLiveViewOn, kToggleLiveView,
          kFocus, 0xFF, kFocus, 2, kAutoFocus, kAutoFocus,
          kButton, kTimePasses, 20, kDial, 0, kCameraTurn, kDial, 7, kCameraTurn,
          kPlug, 0x00, kCameraTurn, kCameraTurn, kPlug, 0x80, kTimePasses, 5, kConnect, 1,
          kCapture, kTimePasses, 30, kDisconnect, 1, kListDevices};
}

bool Write(const std::string& path, const Seed& seed) {
  std::vector<std::uint8_t> script = seed.before;
  const std::vector<std::uint8_t> session = Session();
  script.insert(script.end(), session.begin(), session.end());
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
  // Named as the simulator names its habits and faults.
  const std::vector<Seed> seeds = {
      {"plain", {}},
      {"jpeg-only", {}, 0},
      {"raw-only", {}, 1},
      {"jpeg-first", HabitAction(Habit::JpegFirst)},
      {"late-items", HabitAction(Habit::LateItems)},
      {"nested-items", HabitAction(Habit::NestedItems)},
      {"async-busy", HabitAction(Habit::AsyncBusy)},
      {"sync-complete", HabitAction(Habit::SyncComplete)},
      {"out-of-focus", HabitAction(Habit::OutOfFocus)},
      {"refused-start", HabitAction(Habit::RefusedStart)},
      {"refused-start-late", HabitAction(Habit::RefusedStartLate)},
      {"capture-hangs", HabitAction(Habit::CaptureHangs)},
      {"transfer-lost", HabitAction(Habit::TransferLost)},
      {"complete-twice", HabitAction(Habit::CompleteTwice)},
      {"open-refused-item", HabitAction(Habit::ItemOpenRefused)},
      {"storedbytes", HabitAction(Habit::StoredBytesWrong)},
      {"storedbytes-unreadable", HabitAction(Habit::StoredBytesUnreadable)},
      {"buffersize", HabitAction(Habit::BufferSize)},
      {"events-in-calls", HabitAction(Habit::EventsInCalls)},
      {"ragged-blocks", HabitAction(Habit::RaggedBlocks)},
      {"slow-link", HabitAction(Habit::SlowLink)},
      {"lv-busy", HabitAction(Habit::LiveViewBusy)},
      {"lv-elements", HabitAction(Habit::LiveViewElements)},
      {"liveview-short", HabitAction(Habit::LiveViewShort)},
      {"enum-out-of-range", HabitAction(Habit::EnumOutOfRange)},
      {"alive-false", {kAlive, 0x00}},
      {"unplug", {kCameraTurn, kPlug, 0x00}},
      {"second-camera", {kPlug, 0x81}},
      {"no-isalive", {kTwists, 0x13, 0x02}},
      {"exposure-mode-retyped", {kTwists, 0x00, 0x04}},
      {"camera-button", {kButton, kButton}},
  };
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
