#include "sim/sim_control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/sim_capture.h"
#include "sim/sim_plugging.h"
#include "sim/sim_state.h"

namespace lbsim {

int ApplyControlLine(const std::string& line) {
  Simulator& sim = Sim();
  std::istringstream words(line);
  std::string verb, what, arg;
  words >> verb >> what >> arg;
  auto number = [](const std::string& text) {
    return static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 10));
  };
  if (verb.empty()) return 0;
  if (verb == "reset") {
    LoadScenario();
    sim.callsAfterClose = 0;
    return 0;
  }
  if (verb == "clear") {
    sim.faults = Faults{};
    return 0;
  }
  if (verb == "plug" || verb == "unplug") {
    if (number(what) == 0) return -1;
    Plug(number(what), verb == "plug");
    return 0;
  }
  if (verb == "format") {
    ImageFormat format;
    if (!ParseImageFormat(what, format)) return -1;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.format = format;
    }
    return 0;
  }
  if (verb == "habit") {
    // habit <name> on|off [<id>]: without an id, every camera of the module.
    std::string id;
    words >> id;
    Habit habit;
    if (!ParseHabit(what, habit) || (arg != "on" && arg != "off")) return -1;
    if (!id.empty() && (number(id) == 0 || !FindCamera(number(id)))) return -1;
    for (auto& entry : sim.cameras) {
      if (id.empty() || entry.first == number(id))
        entry.second.setup.habits.set(static_cast<std::size_t>(habit), arg == "on");
    }
    return 0;
  }
  if (verb == "rate") {
    const ULONG rate = number(what);
    if (rate == 0 || rate > 10000) return -1;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.rateMBps = rate;
    }
    return 0;
  }
  if (verb == "exposure-ms") {
    // exposure-ms <n> [<id>]: 0 is a valid length here, so the number is checked digit by digit.
    const bool digits = !what.empty() && what.size() <= 10 &&
                        what.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || std::strtoull(what.c_str(), nullptr, 10) > kLongestExposureMs) return -1;
    if (!arg.empty() && (number(arg) == 0 || !FindCamera(number(arg)))) return -1;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.exposureMs = number(what);
    }
    return 0;
  }
  if (verb == "shoot") {
    // shoot [<id>]: the release button of that camera, or of the first one plugged in.
    for (auto& entry : sim.cameras) {
      if (what.empty() ? entry.second.plugged : entry.first == number(what))
        return ShootByButton(entry.first) ? 0 : -1;
    }
    return -1;
  }
  if (verb != "fault") return -1;
  Faults& f = sim.faults;
  if (what == "open-refused") {
    if (arg == "module") {
      f.moduleOpenRefused = true;
    } else if (arg == "item") {
      f.itemOpenRefused = true;
    } else if (number(arg) != 0) {
      f.cameraOpenRefused.insert(number(arg));
    } else {
      return -1;
    }
  } else if (what == "isalive-false" && number(arg) != 0) {
    f.notAlive.insert(number(arg));
  } else if (what == "buffersize") {
    f.bufferSizeAnswers = 1;
  } else if (what == "transfer-lost") {
    f.transferLost = true;
  } else if (what == "capture-hangs") {
    f.captureHangs = true;
  } else if (what == "liveview-short" && arg.empty()) {
    f.liveViewShort = true;
  } else if (what == "liveview-short" && arg == "empty") {
    f.liveViewEmpty = true;
  } else if (what == "block-wrap") {
    f.blockWraps = true;
  } else if (what == "storedbytes-unreadable") {
    f.storedBytesUnreadable = true;
  } else if (what == "storedbytes" && !arg.empty()) {
    f.storedBytesClaim = number(arg);
  } else {
    return -1;
  }
  return 0;
}

// New complete lines of the LBSIM_CONTROL file since the last look.
void ReadControlFile() {
  const char* path = std::getenv("LBSIM_CONTROL");
  if (!path || !*path) return;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return;
  Simulator& sim = Sim();
  if (std::fseek(file, sim.controlOffset, SEEK_SET) == 0) {
    std::string text;
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (ApplyControlLine(line) != 0) std::fprintf(stderr, "lbsim: bad control line \"%s\"\n", line.c_str());
    }
    sim.controlOffset += static_cast<long>(start);
  }
  std::fclose(file);
}
}  // namespace lbsim
