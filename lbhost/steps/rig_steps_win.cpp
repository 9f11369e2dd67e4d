// The steps of a rig (--device with several cameras): one shot of every camera together, its
// files collected under one number, and the cameras' settings read and set side by side.
#include "lbhost/steps/tether_steps.h"

#include <algorithm>

#include "lbhost/steps/step_support.h"
#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/setting_match.h"
#include "lbhost/vocabulary/settings_walk.h"
#include "lbhost/vocabulary/valid_utf8.h"
#include "lbhost/vocabulary/value_json.h"
#include "lbhost/vocabulary/value_printer.h"

using namespace step_support;

namespace {

Failure CameraFailure(std::string message) { return Failure{ErrorKind::Camera, message}; }

// `cells` in columns wide enough for each column's longest, marked in front when `marked`.
std::string Row(const std::vector<std::string>& cells, const std::vector<std::size_t>& widths,
                bool marked) {
  std::string line = marked ? "* " : "  ";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    line += cells[i];
    if (i + 1 < cells.size()) line.resize(line.size() + widths[i] + 2 - cells[i].size(), ' ');
  }
  return line.erase(line.find_last_not_of(' ') + 1);
}

std::vector<std::size_t> Widths(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  return widths;
}

}  // namespace

Status CTetherSteps::shootRig(const std::string& label, nlohmann::json* files) {
  // The slowest camera's exposure bounds the wait for the first reports.
  unsigned waitMs = 0;
  for (const CameraInfo& camera : m_rig) {
    const Result<unsigned> ms = releaseWaitMs(camera.deviceId);
    if (!ms) return ms;
    waitMs = std::max(waitMs, *ms);
  }
  // The answer is awaited with the cameras' reports: a camera that refuses its release says so
  // before the answer comes, and that must not hold up the others.
  ShotCollection c(m_downloadFolder, Clock::now() + milliseconds(waitMs), false, "the rig to fire",
                   waitMs);
  c.rigRequest = m_session.client().send("doRigCapture");
  if (c.rigRequest == 0) {
    m_unresponsive = true;
    return Failure{ErrorKind::Process,
                   "could not send \"doRigCapture\": lensbridge.exe no longer reads its pipe"};
  }
  for (const CameraInfo& camera : m_rig) {
    c.rig.emplace_back();
    c.rig.back().camera = camera;
  }
  const Status collected = advanceRig(c);
  Shot shot = std::move(c.shot);
  const Status kept = keepShot(collected, &shot);
  reportShot(shot, label, files, static_cast<bool>(kept));

  // The skew is the spread of the moments the cameras fired.
  nlohmann::json cameras = nlohmann::json::array();
  std::optional<double> first, last;
  std::string times;
  for (const RigPart& part : c.rig) {
    const std::uint32_t id = part.camera.deviceId;
    nlohmann::json entry = {{"device_id", id}, {"camera", cameraLabel(id)}};
    if (part.startedMs) entry["started_ms"] = static_cast<long long>(*part.startedMs);
    if (part.firedMs) {
      entry["fired_ms"] = static_cast<long long>(*part.firedMs);
      first = std::min(first.value_or(*part.firedMs), *part.firedMs);
      last = std::max(last.value_or(*part.firedMs), *part.firedMs);
      times += (times.empty() ? "" : ", ") + cameraLabel(id) + " " +
               std::to_string(static_cast<long long>(*part.firedMs));
    } else {
      entry["error"] = part.notFired;
      m_report.line(ValidUtf8(label + " " + cameraLabel(id) + " did not fire: " + part.notFired));
    }
    if (part.lost) entry["lost"] = true;
    nlohmann::json own = nlohmann::json::array();
    for (std::size_t i = 0; i < shot.files.size(); ++i) {
      const DownloadedFile& f = shot.files[i];
      if (f.deviceId != id) continue;
      const bool saved = i < shot.savedPaths.size() && !shot.savedPaths[i].empty();
      own.push_back({{"file_name", f.fileName},
                     {"path", saved ? nlohmann::json(shot.savedPaths[i]) : nlohmann::json()}});
    }
    entry["files"] = own;
    cameras.push_back(entry);
  }
  nlohmann::json rigShot = {{"rig_shot", c.rigShot}, {"cameras", cameras}};
  if (first) {
    const long long skew = static_cast<long long>(*last - *first);
    rigShot["skew_ms"] = skew;
    m_report.line(
        ValidUtf8(label + ": skew " + std::to_string(skew) + " ms (fired at " + times + " ms)"));
  }
  if (m_observer) m_observer->rigShotEnded(rigShot);
  nlohmann::json& shots = (*m_step)["rig_shots"];
  if (!shots.is_array()) shots = nlohmann::json::array();
  shots.push_back(rigShot);
  return kept;
}

Status CTetherSteps::toggleLiveView(std::uint32_t deviceId) {
  ZnLuaTETable params;
  params.setNumber("device_id", deviceId);
  auto reply = request("toggleLiveView", &params);
  if (!reply) return reply.failure();
  if (reply->nameText() != "error") return Status();
  return CameraFailure(ValidUtf8(cameraLabel(deviceId)) + ": live view did not switch: " +
                       InCameraWords(TextAt(reply->payload.get(), "error_description")));
}

Status CTetherSteps::runRigSettings() {
  // Each setting in the order the first camera shows it, then any only another one has.
  std::vector<std::string> names;
  std::map<std::string, std::vector<std::string>> values;
  nlohmann::json cameras = nlohmann::json::array();
  std::vector<std::string> header = {"setting"};
  for (std::size_t i = 0; i < m_rig.size(); ++i) {
    const std::uint32_t id = m_rig[i].deviceId;
    auto settings = readSettings(id);
    if (!settings) return settings;
    header.push_back(cameraLabel(id));
    cameras.push_back({{"device_id", id},
                       {"camera", cameraLabel(id)},
                       {"settings", SettingsToJson(settings->get())}});
    ForEachSetting(settings->get(), [&](const SettingVisit& s) {
      const bool known = s.changeable || s.name == "focus_mode" || s.name == "af";
      std::string text =
          known && s.value->type == kZnLuaString ? s.value->getString() : FormatValue(s.value);
      if (s.name == "focus_mode") text = FocusModeWords(text);
      if (!values.count(s.name)) names.push_back(s.name);
      std::vector<std::string>& row = values[s.name];
      row.resize(m_rig.size(), "-");
      row[i] = ValidUtf8(text);
    });
  }
  std::vector<std::vector<std::string>> rows = {header};
  nlohmann::json differ = nlohmann::json::array();
  for (const auto& name : names) {
    std::vector<std::string> row = {name};
    row.insert(row.end(), values[name].begin(), values[name].end());
    rows.push_back(row);
  }
  const std::vector<std::size_t> widths = Widths(rows);
  for (const auto& row : rows) {
    const bool differs = row != header && std::count(row.begin() + 1, row.end(), row[1]) !=
                                              static_cast<long>(row.size() - 1);
    if (differs) differ.push_back(row[0]);
    m_report.line(Row(row, widths, differs));
  }
  m_report.line(differ.empty() ? "the cameras agree on every setting"
                               : "* differs between the cameras");
  (*m_step)["cameras"] = cameras;
  (*m_step)["differ"] = differ;
  return Status();
}

Status CTetherSteps::runRigSet(const Step& step) {
  const SettingName* setting = FindSetting(step.setting);
  std::vector<std::vector<std::string>> rows = {{"camera", "was", "now", ""}};
  nlohmann::json cameras = nlohmann::json::array();
  std::string differing;
  for (const CameraInfo& camera : m_rig) {
    const std::uint32_t id = camera.deviceId;
    const std::string label = cameraLabel(id);
    auto settings = readSettings(id);
    if (!settings) return settings;
    const std::string before = TextAt(settings->get(), setting->valueKey);
    std::vector<std::string> entries;
    const ZnLuaTETable* table = AsTable(settings->get());
    if (const ZnLuaTETable* listed = table ? table->getTable(setting->entriesKey) : nullptr) {
      for (const auto& entry : *listed) entries.push_back(entry.second->getString());
    }
    std::optional<std::size_t> index;
    if (!step.index) {
      index = MatchSettingEntry(entries, step.value);
    } else if (static_cast<std::size_t>(*step.index) < entries.size()) {
      index = static_cast<std::size_t>(*step.index);
    }
    std::string now = before;
    std::string why;
    if (entries.empty()) {
      why = "fixed by its exposure mode";
    } else if (!index) {
      why = "not offered";
    } else {
      std::unique_ptr<ZnLuaTE> after;
      m_session.selectDevice(id);
      if (!m_session.changeSetting(*setting, *index, &after, &why)) {
        m_session.selectDevice(m_camera->deviceId);
        return Failure{ErrorKind::Process, label + ": " + why};
      }
      // Read back: the reply may carry the value before the camera settled on it.
      auto again = readSettings(id);
      if (!again) return again;
      now = TextAt(again->get(), setting->valueKey);
      if (now != entries[*index]) why = "did not take " + entries[*index];
    }
    rows.push_back({label, before, now, why});
    cameras.push_back({{"device_id", id}, {"camera", label}, {"was", before}, {"value", now}});
    if (!why.empty()) {
      cameras.back()["problem"] = why;
      differing += (differing.empty() ? "" : ", ") + label + " (" + now + ": " + why + ")";
    }
  }
  m_session.selectDevice(m_camera->deviceId);
  const std::vector<std::size_t> widths = Widths(rows);
  m_report.line(std::string(setting->name) + " " +
                (step.index ? "#" + std::to_string(*step.index) : step.value) + ":");
  for (std::size_t i = 0; i < rows.size(); ++i)
    m_report.line(ValidUtf8(Row(rows[i], widths, i > 0 && !rows[i][3].empty())));
  (*m_step)["setting"] = setting->name;
  (*m_step)["cameras"] = cameras;
  if (differing.empty()) return Status();
  return CameraFailure(std::string("not every camera has ") + setting->name + " " +
                       (step.index ? "#" + std::to_string(*step.index) : step.value) + ": " +
                       differing);
}
