#include "sim/sim_scenario.h"

#include <sstream>

namespace lbsim {

namespace {

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n > 0xFFFFFFFFull) return false;
  value = static_cast<std::uint32_t>(n);
  return true;
}

bool ParseCamera(std::istringstream& words, const std::string& line, CameraSetup& camera,
                 std::string& problem) {
  std::string word;
  if (!(words >> word) || !ParseNumber(word, camera.id) || camera.id == 0 || camera.id > 255) {
    problem = "a camera needs an id from 1 to 255";
    return false;
  }
  while (words >> word) {
    const std::size_t equals = word.find('=');
    if (equals == std::string::npos) {
      problem = "expected key=value, got \"" + word + "\"";
      return false;
    }
    const std::string key = word.substr(0, equals);
    const std::string value = word.substr(equals + 1);
    std::uint32_t n = 0;
    if (key == "name") {
      // The name is the rest of the line, spaces included.
      const std::size_t at = line.find("name=");
      camera.name = line.substr(at + 5);
      return true;
    }
    if (key == "habits") {
      std::string bad;
      if (!ParseHabitList(value, camera.habits, bad)) {
        problem = "unknown habit \"" + bad + "\"";
        return false;
      }
      continue;
    }
    if (key == "format") {
      if (!ParseImageFormat(value, camera.format)) {
        problem = "format is jpeg, raw or raw+jpeg";
        return false;
      }
      continue;
    }
    if (!ParseNumber(value, n)) {
      problem = "\"" + key + "\" needs a number";
      return false;
    }
    if (key == "type") {
      camera.type = n;
    } else if (key == "exposure" && n <= 3) {
      camera.exposureMode = n;
    } else if (key == "iso-auto" && n <= 1) {
      camera.isoAuto = n == 1;
    } else if (key == "raw-bytes" && n >= 16 && n <= 0x7FFFFFFFu) {
      camera.rawBytes = n;
    } else if (key == "rate" && n >= 1 && n <= 10000) {
      camera.rateMBps = n;
    } else if (key == "exposure-ms" && n <= kLongestExposureMs) {
      camera.exposureMs = n;
    } else if (key == "release-latency-ms" && n <= kLongestReleaseLatencyMs) {
      camera.releaseLatencyMs = n;
    } else if (key == "photo-width" && n >= 16 && n <= 8192) {
      camera.photoWidth = n;
    } else if (key == "plugged" && n <= 1) {
      camera.plugged = n == 1;
    } else {
      problem = "unknown key or value out of range: \"" + word + "\"";
      return false;
    }
  }
  return true;
}

bool IsModuleName(const std::string& name) {
  if (name.size() != 8 || name.compare(0, 4, "Type") != 0) return false;
  for (std::size_t i = 4; i < 8; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

}  // namespace

Scenario DefaultScenario(const std::string& moduleType) {
  Scenario scenario;
  if (moduleType == "Type0001") scenario.cameras.push_back(CameraSetup{});
  return scenario;
}

Scenario ScenarioForModule(const Scenario& scenario, const std::string& moduleType) {
  Scenario mine;
  for (const CameraSetup& camera : scenario.cameras)
    if (camera.module.empty() || camera.module == moduleType) mine.cameras.push_back(camera);
  for (const TimedEvent& event : scenario.events)
    if (event.module.empty() || event.module == moduleType) mine.events.push_back(event);
  return mine;
}

bool ParseImageFormat(const std::string& text, ImageFormat& format) {
  if (text == "jpeg") {
    format = ImageFormat::Jpeg;
  } else if (text == "raw") {
    format = ImageFormat::Raw;
  } else if (text == "raw+jpeg") {
    format = ImageFormat::RawPlusJpeg;
  } else {
    return false;
  }
  return true;
}

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
  scenario = Scenario{};
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  std::string module;  // the scope of the statements that follow
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb)) continue;
    std::string problem;
    if (verb == "module") {
      std::string name, extra;
      if (words >> name && !(words >> extra) && (name == "any" || IsModuleName(name))) {
        module = name == "any" ? std::string() : name;
        continue;
      }
      problem = "expected \"module TypeNNNN\" or \"module any\"";
    } else if (verb == "camera") {
      CameraSetup camera;
      camera.module = module;
      if (ParseCamera(words, line, camera, problem)) {
        scenario.cameras.push_back(camera);
        continue;
      }
    } else if (verb == "at") {
      TimedEvent event;
      event.module = module;
      std::string time, action, id;
      if (words >> time >> action >> id && ParseNumber(time, event.atMs) &&
          (action == "plug" || action == "unplug") && ParseNumber(id, event.cameraId)) {
        event.plug = action == "plug";
        scenario.events.push_back(event);
        continue;
      }
      problem = "expected \"at <ms> plug|unplug <id>\"";
    } else {
      problem = "unknown statement \"" + verb + "\"";
    }
    error = "scenario line " + std::to_string(number) + ": " + problem;
    return false;
  }
  return true;
}

}  // namespace lbsim
