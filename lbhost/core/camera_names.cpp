#include "lbhost/core/camera_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFormatVersion = 1;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

unsigned ModuleOf(std::uint32_t deviceId) { return deviceId >> 8; }

// A device id as --device takes it: decimal as 'list' prints it, or hex with 0x (a leading
// zero does not mean octal).
bool ReadDeviceId(const std::string& text, std::uint32_t* id) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
  if (*end != '\0') return false;
  *id = static_cast<std::uint32_t>(value);
  return true;
}

Failure FilesFailure(std::string message) { return Failure{ErrorKind::Files, message}; }

}  // namespace

std::string CCameraNames::defaultPath() {
  if (platform::pathSeparator() == '\\') {
    const std::string local = platform::environmentVariable("LOCALAPPDATA");
    return (local.empty() ? platform::executableDirectory() : local + "\\") +
           "lbhost\\camera-names.json";
  }
  return platform::environmentVariable("HOME") + "/.config/lbhost/camera-names.json";
}

Result<CCameraNames> CCameraNames::load(const std::string& path) {
  CCameraNames names;
  std::error_code absent;
  if (!fs::exists(fs::u8path(path), absent)) return names;
  std::ifstream in(fs::u8path(path), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string broken = "the camera names in " + path + " cannot be read";
  const nlohmann::json file = nlohmann::json::parse(text.str(), nullptr, false);
  if (!in || file.is_discarded() || !file.is_object() ||
      !file.value("cameras", nlohmann::json()).is_array()) {
    return FilesFailure(broken + " (not the JSON lbhost writes); mend or remove it");
  }
  for (const auto& camera : file["cameras"]) {
    Entry entry;
    try {
      entry = {camera.at("module").get<unsigned>(), camera.at("model").get<std::string>(),
               camera.at("rank").get<unsigned>(), camera.at("name").get<std::string>()};
    } catch (const nlohmann::json::exception& e) {
      return FilesFailure(broken + " (" + e.what() + "); mend or remove it");
    }
    names.m_entries.push_back(entry);
  }
  return names;
}

Status CCameraNames::save(const std::string& path) const {
  nlohmann::json cameras = nlohmann::json::array();
  for (const Entry& e : m_entries) {
    cameras.push_back(
        {{"module", e.module}, {"model", e.model}, {"rank", e.rank}, {"name", e.name}});
  }
  const std::string text =
      nlohmann::json{{"format_version", kFormatVersion}, {"cameras", cameras}}.dump(2) + "\n";
  std::error_code error;
  fs::create_directories(fs::u8path(path).parent_path(), error);
  // A run cut short mid-write leaves the old names, never half a file.
  const std::string fresh = path + ".new";
  std::FILE* file = platform::openForWriting(fresh);
  const bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (!file || std::fclose(file) != 0 || !written) {
    fs::remove(fs::u8path(fresh), error);
    return FilesFailure("could not write the camera names to " + fresh);
  }
  fs::rename(fs::u8path(fresh), fs::u8path(path), error);
  if (error) return FilesFailure("could not replace " + path + ": " + error.message());
  return Status();
}

CCameraNames::Entry CCameraNames::placeOf(const std::vector<ListedCamera>& cameras,
                                          std::uint32_t deviceId) {
  Entry place;
  place.module = ModuleOf(deviceId);
  for (const auto& c : cameras) {
    if (c.deviceId == deviceId) place.model = c.model;
  }
  for (const auto& c : cameras) {
    if (ModuleOf(c.deviceId) == place.module && c.model == place.model && c.deviceId < deviceId)
      ++place.rank;
  }
  return place;
}

std::vector<CCameraNames::Entry>::iterator CCameraNames::find(const Entry& place) {
  return std::find_if(m_entries.begin(), m_entries.end(), [&place](const Entry& e) {
    return e.module == place.module && e.model == place.model && e.rank == place.rank;
  });
}

std::map<std::uint32_t, std::string> CCameraNames::namesOf(
    const std::vector<ListedCamera>& cameras) const {
  std::map<std::uint32_t, std::string> names;
  for (const auto& c : cameras) {
    const Entry place = placeOf(cameras, c.deviceId);
    for (const Entry& e : m_entries) {
      if (e.module == place.module && e.model == place.model && e.rank == place.rank)
        names[c.deviceId] = e.name;
    }
  }
  return names;
}

Status CCameraNames::give(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId,
                          const std::string& name) {
  std::uint32_t id = 0;
  if (name.empty() || ReadDeviceId(name, &id) || Lower(name) == "all" ||
      name.find(',') != std::string::npos) {
    return Failure{ErrorKind::Usage, "\"" + name +
                                         "\" cannot be a camera's name: --device would read it "
                                         "as a device id, a list or all"};
  }
  const Entry place = placeOf(cameras, deviceId);
  for (const Entry& e : m_entries) {
    const bool here = e.module == place.module && e.model == place.model && e.rank == place.rank;
    if (!here && Lower(e.name) == Lower(name)) {
      return Failure{ErrorKind::Usage, "\"" + name + "\" is already the name of the " + e.model +
                                           " on module " + std::to_string(e.module) +
                                           " (lbhost name DEVICE --forget frees it)"};
    }
  }
  auto entry = find(place);
  if (entry == m_entries.end()) entry = m_entries.insert(m_entries.end(), place);
  entry->name = name;
  return Status();
}

bool CCameraNames::forget(const std::vector<ListedCamera>& cameras, std::uint32_t deviceId) {
  const auto entry = find(placeOf(cameras, deviceId));
  if (entry == m_entries.end()) return false;
  m_entries.erase(entry);
  return true;
}

bool CCameraNames::toldApartByOrder(const std::vector<ListedCamera>& cameras,
                                    std::uint32_t deviceId) {
  const Entry place = placeOf(cameras, deviceId);
  return std::count_if(cameras.begin(), cameras.end(), [&place](const ListedCamera& c) {
           return ModuleOf(c.deviceId) == place.module && c.model == place.model;
         }) > 1;
}

bool NamesSeveralCameras(const std::string& device) {
  return Lower(device) == "all" || device.find(',') != std::string::npos;
}

Result<std::vector<std::uint32_t>> ChooseCameras(const std::vector<ListedCamera>& cameras,
                                                 const std::map<std::uint32_t, std::string>& names,
                                                 const std::string& text) {
  std::vector<std::uint32_t> chosen;
  if (cameras.empty()) return chosen;
  if (text.empty()) return std::vector<std::uint32_t>{cameras.front().deviceId};
  if (Lower(text) == "all") {
    for (const auto& c : cameras) chosen.push_back(c.deviceId);
    return chosen;
  }
  std::string known;
  for (const auto& c : cameras) {
    const auto name = names.find(c.deviceId);
    known += (known.empty() ? "" : ", ") + std::to_string(c.deviceId) + " " + c.model +
             (name == names.end() ? "" : " \"" + name->second + "\"");
  }
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string word = text.substr(start, end - start);
    start = end + 1;
    std::uint32_t id = 0;
    std::vector<std::uint32_t> found;
    const bool isId = ReadDeviceId(word, &id);
    for (const auto& c : cameras) {
      const auto name = names.find(c.deviceId);
      if (isId ? c.deviceId == id : name != names.end() && Lower(name->second) == Lower(word)) {
        found.push_back(c.deviceId);
      }
    }
    // A model name when no chosen name matches; two bodies of one model share it, and taking
    // either would be a guess.
    if (!isId && found.empty()) {
      for (const auto& c : cameras) {
        if (Lower(c.model) == Lower(word)) found.push_back(c.deviceId);
      }
    }
    if (found.size() > 1) {
      std::string ids;
      for (const auto id : found) ids += (ids.empty() ? "" : " and ") + std::to_string(id);
      return Failure{ErrorKind::Camera, "two or more cameras are \"" + word + "\": give --device " +
                                            ids +
                                            " (their device ids), or name them (lbhost name)"};
    }
    if (found.empty()) {
      return Failure{ErrorKind::Camera, "no camera is \"" + word + "\"; the cameras are: " + known};
    }
    if (std::count(chosen.begin(), chosen.end(), found.front()) == 0)
      chosen.push_back(found.front());
  }
  return chosen;
}
