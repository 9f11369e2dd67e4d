// What a random session does, whoever draws it (the camera module fuzzer from its script bytes,
// the chaos run from its seed): the host's requests and the simulator's control lines, each
// built from an action and its operands by one function, so both speak the same words.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/sim_habits.h"
#include "values/lua_value.h"

namespace session {

// The host's requests, those about a device last. Join: "connectDevice" keeping the cameras
// connected before (a rig).
enum class Ask : std::uint8_t {
  ListDevices,
  Capture,
  RigCapture,
  ToggleLiveView,
  IsLiveViewOn,
  AutoFocus,
  Focus,
  ChangeSetting,
  Connect,
  Join,
  Disconnect,
  GetSettings,
  Count
};
constexpr unsigned kAskCount = static_cast<unsigned>(Ask::Count);
constexpr bool TakesDevice(Ask a) { return a >= Ask::ChangeSetting; }
constexpr bool TakesValue(Ask a) { return a == Ask::ChangeSetting || a == Ask::Focus; }

// The settings a host changes, the last one no camera has.
constexpr const char* kSettingKeys[] = {"apertureValue", "shutterValue", "isoSpeedValue", "wbValue",
                                        "bogus"};

struct Request {
  std::string name;
  std::vector<std::pair<std::string, double>> numbers;  // the payload's number fields
  std::string paramKey;                                 // its "param_key" when not empty

  // The payload as sent; none for a request without fields.
  std::unique_ptr<ZnLuaTETable> payload() const {
    if (numbers.empty()) return nullptr;
    auto table = std::make_unique<ZnLuaTETable>();
    for (const auto& [field, value] : numbers) table->setNumber(field.c_str(), value);
    if (!paramKey.empty()) table->setString("param_key", paramKey);
    return table;
  }
};

// `device` for the requests that take one; `value` the entry a setting is set to or the focus
// direction; `key` the setting (into kSettingKeys, any number).
inline Request MakeRequest(Ask ask, std::uint32_t device = 0, double value = 0, unsigned key = 0) {
  static const char* const kNames[] = {
      "listDevices",   "doCapture",     "doRigCapture",     "toggleLiveView",
      "isLiveViewOn",  "doAutoFocus",   "setCameraFocus",   "updateCameraSetting",
      "connectDevice", "connectDevice", "disconnectDevice", "getCameraSettings"};
  Request r{kNames[static_cast<unsigned>(ask)], {}, {}};
  if (TakesDevice(ask)) r.numbers.emplace_back("device_id", device);
  if (ask == Ask::Join) r.numbers.emplace_back("keep_connected", 1);
  if (TakesValue(ask))
    r.numbers.emplace_back(ask == Ask::Focus ? "focus_direction" : "param_value", value);
  if (ask == Ask::ChangeSetting) r.paramKey = kSettingKeys[key % std::size(kSettingKeys)];
  return r;
}

// The simulator's control lines (sim/sim_control.cpp reads them).
enum class Sim : std::uint8_t {
  Fault,        // value: one of kFaults
  OpenRefused,  // the camera's open is refused
  NotAlive,     // the camera's IsAlive reads false
  StoredBytes,  // value: what StoredBytes claims
  HabitOn,      // value: the habit (lbsim::Habit, any number)
  HabitOff,
  Plug,
  Unplug,
  Format,    // value: into kFormats
  Shoot,     // the camera's own shutter button
  Exposure,  // value: milliseconds each release exposes
  Rate,      // value: MB/s of its link
  Dial,      // value: the dial (of four) plus four times the entry it turns to (of eight)
  Clear,     // every fault off
  Count
};
constexpr unsigned kSimCount = static_cast<unsigned>(Sim::Count);

// The faults that name no camera, as their control lines write them.
constexpr const char* kFaults[] = {
    "open-refused item", "buffersize",           "transfer-lost", "capture-hangs",
    "liveview-short",    "liveview-short empty", "block-wrap",    "storedbytes-unreadable"};
constexpr const char* kFormats[] = {"jpeg", "raw", "raw+jpeg"};

inline lbsim::Habit AnyHabit(unsigned value) {
  return static_cast<lbsim::Habit>(value % static_cast<unsigned>(lbsim::Habit::Count));
}

// The control line. `camera`: the camera it is about; 0 for every camera, where the line allows
// that ("plug" and the faults about a camera need one).
inline std::string ControlLine(Sim line, std::uint32_t value, unsigned camera = 0) {
  static const char* const kVerbs[] = {
      "fault",  "open-refused", "isalive-false", "storedbytes", "habit", "habit", "plug",
      "unplug", "format",       "shoot",         "exposure-ms", "rate",  "dial",  "clear"};
  static const char* const kDials[] = {"aperture", "shutter", "iso", "wb"};
  const bool faultOfOne = line >= Sim::OpenRefused && line <= Sim::StoredBytes;
  std::string text = std::string(faultOfOne ? "fault " : "") + kVerbs[static_cast<unsigned>(line)];
  const auto word = [&text](const std::string& w) { text += " " + w; };
  if (line == Sim::Fault) word(kFaults[value % std::size(kFaults)]);
  if (line == Sim::StoredBytes || line == Sim::Exposure || line == Sim::Rate)
    word(std::to_string(value));
  if (line == Sim::HabitOn || line == Sim::HabitOff)
    word(std::string(lbsim::HabitName(AnyHabit(value))) + (line == Sim::HabitOn ? " on" : " off"));
  if (line == Sim::Format) word(kFormats[value % 3]);
  if (line == Sim::Dial) word(std::string(kDials[value % 4]) + " " + std::to_string(value / 4 % 8));
  if (camera != 0 && line != Sim::Fault && line != Sim::StoredBytes && line != Sim::Clear)
    word(std::to_string(camera));
  return text;
}

}  // namespace session
