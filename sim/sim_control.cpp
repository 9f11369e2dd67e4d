#include "sim/sim_control.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "sim/sim_capabilities.h"
#include "sim/sim_capture.h"
#include "sim/sim_plugging.h"
#include "sim/sim_state.h"

namespace lbsim {

namespace {

// Both modules read the one control file, so a line about a camera that only the other module
// has is well formed here too, and must not be reported as bad.
enum class Outcome { Done, NotHere, Malformed };

// Whether `text` is a number of at most `maxDigits` decimal digits, 0 among them.
bool IsDigits(const std::string& text, std::size_t maxDigits) {
  return !text.empty() && text.size() <= maxDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

Outcome Apply(const std::string& line) {
  Simulator& sim = Sim();
  std::istringstream words(line);
  std::string verb, what, arg;
  words >> verb >> what >> arg;
  auto number = [](const std::string& text) {
    return static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 10));
  };
  if (verb.empty()) return Outcome::Done;
  if (verb == "reset") {
    LoadScenario();
    sim.callsAfterClose = 0;
    sim.announcedMidTransfer = 0;
    sim.concurrentCalls = 0;
    sim.strayCalls = 0;
    sim.calls = 0;
    sim.manualClockMs.reset();
    return Outcome::Done;
  }
  if (verb == "clear") {
    sim.faults = Faults{};
    return Outcome::Done;
  }
  if (verb == "plug" || verb == "unplug") {
    if (number(what) == 0) return Outcome::Malformed;
    Plug(number(what), verb == "plug");
    return Outcome::Done;
  }
  if (verb == "format") {
    ImageFormat format;
    if (!ParseImageFormat(what, format)) return Outcome::Malformed;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.format = format;
    }
    return Outcome::Done;
  }
  if (verb == "habit") {
    // habit <name> on|off [<id>]: without an id, every camera of the module.
    std::string id;
    words >> id;
    Habit habit;
    if (!ParseHabit(what, habit) || (arg != "on" && arg != "off")) return Outcome::Malformed;
    if (!id.empty() && number(id) == 0) return Outcome::Malformed;
    if (!id.empty() && !FindCamera(number(id))) return Outcome::NotHere;
    for (auto& entry : sim.cameras) {
      if (id.empty() || entry.first == number(id))
        entry.second.setup.habits.set(static_cast<std::size_t>(habit), arg == "on");
    }
    return Outcome::Done;
  }
  if (verb == "clock") {
    // clock <ms>: the simulator's time from now on, until the next line sets it again; clock
    // real: the machine's time again.
    if (what == "real") {
      sim.manualClockMs.reset();
      return Outcome::Done;
    }
    if (!IsDigits(what, 9)) return Outcome::Malformed;
    sim.manualClockMs = number(what);
    return Outcome::Done;
  }
  if (verb == "rate") {
    const ULONG rate = number(what);
    if (rate == 0 || rate > 10000) return Outcome::Malformed;
    for (auto& entry : sim.cameras) {
      if (arg.empty() || entry.first == number(arg)) entry.second.setup.rateMBps = rate;
    }
    return Outcome::Done;
  }
  if (verb == "exposure-ms" || verb == "release-latency-ms") {
    // exposure-ms|release-latency-ms <n> [<id>]: 0 is a valid length here, so the number is
    // checked digit by digit.
    const bool exposure = verb == "exposure-ms";
    const std::uint64_t longest = exposure ? kLongestExposureMs : kLongestReleaseLatencyMs;
    if (!IsDigits(what, 10) || std::strtoull(what.c_str(), nullptr, 10) > longest)
      return Outcome::Malformed;
    if (!arg.empty() && number(arg) == 0) return Outcome::Malformed;
    if (!arg.empty() && !FindCamera(number(arg))) return Outcome::NotHere;
    for (auto& entry : sim.cameras) {
      if (!arg.empty() && entry.first != number(arg)) continue;
      (exposure ? entry.second.setup.exposureMs : entry.second.setup.releaseLatencyMs) =
          number(what);
    }
    return Outcome::Done;
  }
  if (verb == "dial") {
    // dial <setting> <index> [<id>]: without an id, every camera of the module.
    std::string id;
    words >> id;
    if (!IsDigits(arg, 3)) return Outcome::Malformed;
    if (!id.empty() && number(id) == 0) return Outcome::Malformed;
    if (!id.empty() && !FindCamera(number(id))) return Outcome::NotHere;
    for (auto& entry : sim.cameras) {
      if (!id.empty() && entry.first != number(id)) continue;
      if (!TurnDial(entry.second, entry.first, what, number(arg))) return Outcome::Malformed;
    }
    return Outcome::Done;
  }
  if (verb == "shoot") {
    // shoot [<id>]: the release button of that camera, or of the first one plugged in.
    for (auto& entry : sim.cameras) {
      if (what.empty() ? entry.second.plugged : entry.first == number(what))
        return ShootByButton(entry.first) ? Outcome::Done : Outcome::NotHere;
    }
    return what.empty() || number(what) != 0 ? Outcome::NotHere : Outcome::Malformed;
  }
  if (verb != "fault") return Outcome::Malformed;
  Faults& f = sim.faults;
  if (what == "open-refused") {
    if (arg == "module") {
      f.moduleOpenRefused = true;
    } else if (arg == "item") {
      f.itemOpenRefused = true;
    } else if (number(arg) != 0) {
      f.cameraOpenRefused.insert(number(arg));
    } else {
      return Outcome::Malformed;
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
  } else if (what == "call" && number(arg) != 0) {
    f.failCallIn = number(arg);
  } else {
    return Outcome::Malformed;
  }
  return Outcome::Done;
}

}  // namespace

int ApplyControlLine(const std::string& line) { return Apply(line) == Outcome::Done ? 0 : -1; }

// New complete lines of the LBSIM_CONTROL file since the last look.
void ReadControlFile() {
  const char* path = std::getenv("LBSIM_CONTROL");
  if (!path || !*path) return;
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return;
  Simulator& sim = Sim();
  std::size_t start = 0;
  if (std::fseek(file, sim.controlOffset, SEEK_SET) == 0) {
    std::string text;
    char buffer[1024];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      std::string line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (Apply(line) == Outcome::Malformed)
        std::fprintf(stderr, "lbsim: bad control line \"%s\"\n", line.c_str());
    }
    sim.controlOffset += static_cast<long>(start);
  }
  std::fclose(file);
  // The receipt: how far this module has read, in "<control file>.<module>.read", so that a
  // test in another process knows its lines are in force instead of waiting a while.
  if (start > 0 || !sim.receiptWritten) {
    const std::string receipt = std::string(path) + "." + ModuleType() + ".read";
    if (std::FILE* out = std::fopen(receipt.c_str(), "wb")) {
      std::fprintf(out, "%ld\n", sim.controlOffset);
      std::fclose(out);
      sim.receiptWritten = true;
    }
  }
}
}  // namespace lbsim
