// lbhost's steps, each on CTetherSteps' session, waits and files.
#include "lbhost/steps/tether_steps.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/platform.h"
#include "values/lua_value.h"
#include "lbhost/core/command_args.h"
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

std::vector<std::string> EntryTexts(const ZnLuaTETable* entries) {
  std::vector<std::string> texts;
  if (!entries) return texts;
  for (const auto& entry : *entries) texts.push_back(entry.second->getString());
  return texts;
}

Failure CameraFailure(std::string message) { return Failure{ErrorKind::Camera, message}; }

}  // namespace

Status CTetherSteps::notInterrupted(const std::string& where) const {
  if (!m_interrupted) return Status();
  return Failure{ErrorKind::Interrupted, "interrupted (Ctrl+C) " + where};
}

Status CTetherSteps::runList(const Step&) {
  Result<std::vector<ListedCamera>> cameras = listCameras(Clock::now());
  if (!cameras) return cameras;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& c : *cameras) {
    const auto name = m_names.find(c.deviceId);
    m_report.line(std::to_string(c.deviceId) + "  " + ValidUtf8(c.model) +
                  (name == m_names.end() ? "" : "  " + ValidUtf8(name->second)));
    list.push_back({{"device_id", c.deviceId}, {"name", c.model}});
    if (name != m_names.end()) list.back()["chosen_name"] = name->second;
  }
  if (cameras->empty()) m_report.line("no camera found");
  (*m_step)["cameras"] = list;
  return Status();
}

Status CTetherSteps::runName(const Step& step) {
  Result<std::vector<ListedCamera>> cameras = listCameras(Clock::now());
  if (!cameras) return cameras;
  Result<std::vector<std::uint32_t>> chosen = ChooseCameras(*cameras, m_names, step.camera);
  if (!chosen) return chosen;
  if (chosen->size() != 1) return CameraFailure("name gives one camera its name at a time");
  const std::uint32_t id = chosen->front();
  const std::string file =
      m_options.namesFile.empty() ? CCameraNames::defaultPath() : m_options.namesFile;
  Result<CCameraNames> book = CCameraNames::load(file);
  if (!book) return book;
  const std::string camera = m_models[id] + " (device " + std::to_string(id) + ")";
  if (step.forget) {
    if (!book->forget(*cameras, id)) {
      m_report.line(ValidUtf8(camera + " has no name"));
    } else if (Status saved = book->save(file); !saved) {
      return saved;
    } else {
      m_report.line(ValidUtf8(camera + " no longer has a name (it was \"" + m_names[id] + "\")"));
    }
  } else {
    if (Status given = book->give(*cameras, id, step.cameraName); !given) return given;
    if (Status saved = book->save(file); !saved) return saved;
    m_report.line(ValidUtf8(camera + " is named \"" + step.cameraName + "\" (in " + file + ")"));
  }
  (*m_step)["device_id"] = id;
  (*m_step)["name"] = step.forget ? nlohmann::json() : nlohmann::json(step.cameraName);
  (*m_step)["names_file"] = file;
  // The modules give no serial number: two bodies of one model on one module are told apart
  // by the order the module lists them, which is the photographer's to know.
  if (CCameraNames::toldApartByOrder(*cameras, id)) {
    const std::string warning =
        "warning: another " + m_models[id] +
        " is on the same module; two identical bodies are "
        "told apart only by the order the module lists them (by camera id), so their names may "
        "swap when they are plugged in again in another order";
    m_report.progress(ValidUtf8(warning));
    (*m_step)["warning"] = warning;
  }
  return Status();
}

Status CTetherSteps::runSettings(const Step&) {
  if (rig()) return runRigSettings();
  auto settings = readSettings();
  if (!settings) return settings;
  ForEachSetting(settings->get(), [this](const SettingVisit& s) {
    // The camera's own keys show their values as the messages carry them (texts quoted).
    const bool known = s.changeable || s.name == "focus_mode" || s.name == "af";
    const std::string value =
        known && s.value->type == kZnLuaString ? s.value->getString() : FormatValue(s.value);
    std::string line = s.name;
    line.resize(std::max<std::size_t>(line.size(), 12), ' ');
    if (!s.changeable) {
      m_report.line(ValidUtf8(line + (s.name == "focus_mode" ? FocusModeWords(value) : value)));
      return;
    }
    line += value;
    line.resize(24, ' ');
    if (s.entries) {
      line += "choices:";
      for (const auto& text : EntryTexts(s.entries))
        line += " " + (text == value ? "[" + text + "]" : text);
    } else {
      line += "(fixed by the exposure mode)";
    }
    m_report.line(ValidUtf8(line));
  });
  (*m_step)["settings"] = SettingsToJson(settings->get());
  return Status();
}

Status CTetherSteps::runGet(const Step& step) {
  auto settings = readSettings();
  if (!settings) return settings;
  const SettingName* setting = FindSetting(step.setting);
  const char* key = setting                ? setting->valueKey
                    : step.setting == "af" ? "AFButtonPressed"
                                           : "focusMode";
  const ZnLuaTETable* table = AsTable(settings->get());
  const ZnLuaTE* value = table ? table->getValue(key) : nullptr;
  if (!value) return CameraFailure("the camera does not report " + step.setting);
  (*m_step)["setting"] = step.setting;
  (*m_step)["value"] = ValueToJson(value);
  const std::string text = value->type == kZnLuaString ? value->getString() : FormatValue(value);
  m_report.line(ValidUtf8(step.setting == "focus_mode" ? FocusModeWords(text) : text));
  return Status();
}

Status CTetherSteps::runSet(const Step& step) {
  if (rig()) return runRigSet(step);
  const SettingName* setting = FindSetting(step.setting);
  auto settings = readSettings();
  if (!settings) return settings;
  const ZnLuaTETable* table = AsTable(settings->get());
  const std::string before = TextAt(table, setting->valueKey);
  const ZnLuaTETable* entriesTable = table ? table->getTable(setting->entriesKey) : nullptr;
  if (!entriesTable) {
    return CameraFailure(std::string("the camera does not let ") + setting->name +
                         " be changed in its exposure mode" +
                         (before.empty() ? std::string() : " (it is " + before + ")"));
  }
  const std::vector<std::string> entries = EntryTexts(entriesTable);
  std::string choices;
  for (std::size_t i = 0; i < entries.size(); ++i) choices += (i ? " " : "") + entries[i];
  std::optional<std::size_t> index;
  if (step.index) {
    if (static_cast<std::size_t>(*step.index) < entries.size()) index = *step.index;
    if (!index) {
      // Said without the command line's words: the page sends an entry's place too.
      return CameraFailure(std::string("the camera lists no ") + setting->name + " entry number " +
                           std::to_string(*step.index) + ": its " + std::to_string(entries.size()) +
                           " entries are numbered 0 to " + std::to_string(entries.size() - 1) +
                           "; choices: " + choices);
    }
  } else {
    index = MatchSettingEntry(entries, step.value);
    if (!index) {
      return CameraFailure(std::string("the camera does not offer ") + setting->name + " \"" +
                           step.value + "\"; choices: " + choices);
    }
  }
  const std::string wanted = entries[*index];
  std::unique_ptr<ZnLuaTE> after;
  std::string error;
  if (!m_session.changeSetting(*setting, *index, &after, &error)) {
    return Failure{ErrorKind::Process, error};
  }
  // The reply carries the settings as the camera has them now: a refused change shows here.
  std::string now = TextAt(after.get(), setting->valueKey);
  if (now != wanted) {
    if (auto again = readSettings()) now = TextAt(again->get(), setting->valueKey);
  }
  (*m_step)["setting"] = setting->name;
  (*m_step)["value"] = now;
  (*m_step)["was"] = before;
  if (now != wanted) {
    return CameraFailure(std::string("the camera did not take ") + setting->name + " " + wanted +
                         ": it is " + (now.empty() ? "unreadable" : now));
  }
  m_report.line(ValidUtf8(std::string(setting->name) + ": " + now + " (was " + before + ")"));
  return Status();
}

Status CTetherSteps::runCapture(const Step& step) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  const std::string of = " of " + std::to_string(step.count);
  for (int n = 1; n <= step.count; ++n) {
    if (Status go = notInterrupted("before frame " + std::to_string(n) + of); !go) return go;
    const std::string label = "frame " + std::to_string(n) + "/" + std::to_string(step.count);
    if (Status shot = rig() ? shootRig(label, &files) : shootOne(label, &files); !shot) return shot;
    if (n < step.count && step.intervalSeconds > 0) {
      if (Status paused = pause(SecondsFromNow(step.intervalSeconds), "the next frame"); !paused)
        return paused;
    }
  }
  return Status();
}

Status CTetherSteps::runWatch(const Step& step) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  const auto end = step.seconds ? SecondsFromNow(*step.seconds) : Clock::time_point::max();
  m_report.progress("watching for shots taken on the camera" +
                    (step.count ? " (" + std::to_string(step.count) + ")" : std::string()) +
                    (step.seconds ? " for " + Seconds(*step.seconds) : std::string()) +
                    "; Ctrl+C ends");
  int shots = 0;
  while (step.count == 0 || shots < step.count) {
    Shot shot;
    if (m_interrupted) {
      m_endedByInterrupt = true;
      break;
    }
    Status collected = collectShot(end, true, "a shot on the camera", &shot, m_options.timeoutMs);
    if (!collected && collected.failure().kind == ErrorKind::Interrupted && shot.files.empty()) {
      m_endedByInterrupt = true;  // Ctrl+C is how a watch ends
      break;
    }
    if (!collected && shot.files.empty() && !(m_unplugged && step.reconnect)) return collected;
    if (!shot.files.empty()) {
      ++shots;
      Status kept = keepShot(collected, &shot);
      reportShot(shot, "shot " + std::to_string(shots), &files, static_cast<bool>(kept));
      if (!kept && (!step.reconnect || kept.failure().kind != ErrorKind::Camera)) return kept;
      if (!kept) {
        // A bumped cable most often comes in the middle of a transfer: what was lost
        // is told, and watching goes on for the camera's return.
        const std::string& why = kept.failure().message;
        m_report.progress("shot " + std::to_string(shots) + ": " + why + "; watching goes on");
        nlohmann::json lostFiles = nlohmann::json::array();
        for (const auto& file : shot.files) {
          if (file.path.empty()) lostFiles.push_back(file.fileName);
        }
        nlohmann::json& lost = (*m_step)["lost"];
        if (!lost.is_array()) lost = nlohmann::json::array();
        lost.push_back({{"shot", shots}, {"file_names", lostFiles}, {"message", why}});
      }
    } else if (collected) {
      break;  // --seconds is over
    }
    if (m_unplugged && step.reconnect) {
      if (Status back = reconnect(end); !back) {
        if (back.failure().kind != ErrorKind::Interrupted) return back;
        m_endedByInterrupt = true;
        break;
      }
    }
  }
  (*m_step)["shots"] = shots;
  m_report.line("watch: " + std::to_string(shots) + " shot(s)");
  return Status();
}

Status CTetherSteps::runTimelapse(const Step& step) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  nlohmann::json& starts = (*m_step)["start_ms"] = nlohmann::json::array();
  const auto first = Clock::now();
  const auto interval = std::chrono::duration<double>(step.intervalSeconds);
  const std::string of = " of " + std::to_string(step.count);
  for (int n = 0; n < step.count; ++n) {
    const std::string shotNumber = "shot " + std::to_string(n + 1);
    // Each shot is due at first + n * interval, however long the shots before it took.
    const auto due = first + std::chrono::duration_cast<Clock::duration>(interval * n);
    if (Clock::now() < due) {
      if (Status paused = pause(due, shotNumber + " of the timelapse"); !paused) return paused;
    } else if (n > 0) {
      m_report.progress(shotNumber + " is " + Seconds(MsBetween(due, Clock::now()) / 1000.0) +
                        " late: the one before took longer than the interval");
    }
    if (Status go = notInterrupted("before " + shotNumber + of); !go) return go;
    starts.push_back(MsBetween(first, Clock::now()));
    const std::string label = shotNumber + "/" + std::to_string(step.count);
    if (Status shot = rig() ? shootRig(label, &files) : shootOne(label, &files); !shot) return shot;
  }
  return Status();
}

Status CTetherSteps::driveFocus(int direction) {
  ZnLuaTETable params;
  params.setNumber("focus_direction", direction);
  if (Status sent = post("setCameraFocus", &params); !sent) return sent;
  // The drive has no answer; a status request behind it is answered once it is done.
  return request("isLiveViewOn");
}

Status CTetherSteps::runStack(const Step& step) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  (*m_step)["step"] = FocusStepName(step.focusDirection);
  (*m_step)["direction"] = FocusWayName(step.focusDirection);
  for (int n = 1; n <= step.count; ++n) {
    const std::string number = std::to_string(n);
    if (Status go = notInterrupted("before shot " + number + " of the stack"); !go) return go;
    if (n > 1) {
      if (Status driven = driveFocus(step.focusDirection); !driven) return driven;
    }
    const std::string label = "stack " + number + "/" + std::to_string(step.count);
    if (Status shot = shootOne(label, &files); !shot) return shot;
  }
  return Status();
}

Status CTetherSteps::runLiveView(const Step& step) {
  if (auto toggled = request("toggleLiveView"); !toggled) return toggled;
  auto status = request("isLiveViewOn");
  if (!status) return status;
  if (TextAt(status->payload.get(), "status") != "liveViewOn") {
    return CameraFailure("the camera did not start live view");
  }
  if (step.toStdout) {
    // A frame stream is bytes: no newline translation may touch it.
    _setmode(_fileno(stdout), _O_BINARY);
  }
  auto isFrame = [](const HostMessage& m) {
    return m.requestId == 0 && m.nameText() == "liveViewImage";
  };
  const auto start = Clock::now();
  const auto end = SecondsFromNow(*step.seconds);
  // Each frame is written as it comes and then forgotten, so memory stays flat however long
  // live view runs, and whatever ends it (Ctrl+C, an unplugged camera) keeps every frame so far.
  std::size_t frames = 0;
  // Numbers as wide as the most frames the run can bring (a camera sends at most 30 a
  // second), so the files sort in the order they came.
  const int frameDigits = std::max<int>(
      3, static_cast<int>(
             std::to_string(static_cast<unsigned long long>(*step.seconds * 30) + 1).size()));
  nlohmann::json saved = nlohmann::json::array();
  bool streamClosed = false;
  auto lastReport = start;
  auto keepFrame = [&](const ZnLuaTEData& data) -> Status {
    const auto* bytes = reinterpret_cast<const char*>(data.bytes());
    const std::size_t size = static_cast<std::size_t>(data.size());
    if (step.toStdout && !streamClosed) {
      // The player went away: the stream ends there, as if live view had.
      streamClosed = std::fwrite(bytes, 1, size, stdout) != size || std::fflush(stdout) != 0;
    }
    if (m_outFolder.empty()) return Status();
    char name[32];
    std::snprintf(name, sizeof name, "liveview-%0*u.jpg", frameDigits,
                  static_cast<unsigned>(frames));
    const std::string path = FreePath(m_outFolder, name);
    FILE* file = path.empty() ? nullptr : platform::openForWriting(path);
    const bool written = file && std::fwrite(bytes, 1, size, file) == size;
    if (!file || std::fclose(file) != 0 || !written) {
      DeleteFileW(platform::utf8ToWide(path).c_str());
      const std::string what = path.empty() ? std::string(name) + " in " + m_outFolder : path;
      return Failure{ErrorKind::Files, "could not write " + what + " (" +
                                           std::to_string(frames - 1) + " frames saved before it)"};
    }
    saved.push_back(path);
    return Status();
  };
  auto finish = [&](Status outcome) {
    (*m_step)["frames"] = frames;
    (*m_step)["saved"] = saved;
    (*m_step)["seconds"] = MsBetween(start, Clock::now()) / 1000.0;
    m_report.line("live view: " + std::to_string(frames) + " frames in " +
                  Seconds(MsBetween(start, Clock::now()) / 1000.0) +
                  (m_outFolder.empty() ? std::string() : ", saved to " + m_outFolder) +
                  (m_endedByInterrupt ? " (ended by Ctrl+C)" : ""));
    return outcome;
  };
  while (Clock::now() < end && !streamClosed) {
    if (m_interrupted) {
      m_endedByInterrupt = true;
      break;
    }
    const auto deadline = std::min(end, Clock::now() + milliseconds(m_options.timeoutMs));
    auto frame = waitFor(isFrame, deadline, "live-view frames", {true, true});
    if (!frame && frame.failure().kind == ErrorKind::Interrupted) {
      m_endedByInterrupt = true;
      break;
    }
    if (!frame) return finish(frame);
    if (!*frame) {
      if (Clock::now() >= end) break;
      return finish(CameraFailure("no live-view frame came for " +
                                  std::to_string(m_options.timeoutMs) + " ms"));
    }
    const ZnLuaTETable* t = AsTable((*frame)->payload.get());
    const ZnLuaTE* image = t ? t->getValue("image") : nullptr;
    if (image && image->type == kZnLuaData) {
      ++frames;
      if (Status kept = keepFrame(*static_cast<const ZnLuaTEData*>(image)); !kept)
        return finish(kept);
    }
    if (Clock::now() - lastReport >= kProgressEvery) {
      lastReport = Clock::now();
      m_report.progress("live view: " + std::to_string(frames) + " frames, " +
                        Seconds(MsBetween(start, lastReport) / 1000.0) + " of " +
                        Seconds(*step.seconds));
    }
  }
  if (auto stopped = request("toggleLiveView"); !stopped) return finish(stopped);
  // Frames sent before the stop was handled are of no further use.
  while (m_session.client().waitFor(isFrame, 0)) {
  }
  return finish(Status());
}

Status CTetherSteps::runFocus(const Step& step) {
  for (int i = 0; i < step.times; ++i) {
    if (Status driven = driveFocus(step.focusDirection); !driven) return driven;
  }
  (*m_step)["direction"] = FocusWayName(step.focusDirection);
  (*m_step)["step"] = FocusStepName(step.focusDirection);
  (*m_step)["times"] = step.times;
  m_report.line(std::string("focus: ") + std::to_string(step.times) + " " +
                FocusStepName(step.focusDirection) + " step(s) " +
                FocusWayName(step.focusDirection));
  return Status();
}

Status CTetherSteps::runAf(const Step& step) {
  const char* wanted = step.on ? "On" : "Off";
  auto settings = readSettings();
  if (!settings) return settings;
  const std::string before = TextAt(settings->get(), "AFButtonPressed");
  if (before != wanted) {
    if (auto pressed = request("doAutoFocus"); !pressed) return pressed;
    settings = readSettings();
    if (!settings) return settings;
  }
  const std::string now = TextAt(settings->get(), "AFButtonPressed");
  (*m_step)["af"] = now;
  (*m_step)["was"] = before;
  if (now != wanted) {
    return CameraFailure(std::string("the camera did not switch auto-focus ") +
                         (step.on ? "on" : "off") + " (it is " + (now.empty() ? "unknown" : now) +
                         ")");
  }
  m_report.line(std::string("af: ") + (step.on ? "on" : "off") +
                (before == now ? " (already)" : ""));
  return Status();
}

Status CTetherSteps::runSend(const Step& step) {
  // Notifications that arrive just after the reply belong to the same exchange.
  constexpr unsigned kAfterReplyMs = 300;
  std::string why;
  std::unique_ptr<ZnLuaTETable> params = BuildParameterTable(step.requestParameters, &why);
  if (!params) return CameraFailure(why);
  const std::uint32_t id = m_session.client().send(step.requestName, params.get());
  if (id == 0) {
    return Failure{ErrorKind::Process,
                   "could not send the request: lensbridge.exe no longer reads its pipe"};
  }
  ZnLuaTEString name(step.requestName);
  m_report.line(ValidUtf8("-> " + FormatHostMessage(id, &name, params.get())));
  nlohmann::json messages = nlohmann::json::array();
  auto show = [&](const HostMessage& m) {
    m_report.line(ValidUtf8("<- " + FormatHostMessage(m.requestId, m.name.get(), m.payload.get())));
    messages.push_back({{"request_id", m.requestId},
                        {"name", m.nameText()},
                        {"payload", ValueToJson(m.payload.get())}});
  };
  (*m_step)["request_id"] = id;
  (*m_step)["request"] = {{"name", step.requestName}, {"payload", ValueToJson(params.get())}};
  const auto deadline = Clock::now() + milliseconds(m_options.timeoutMs);
  bool replied = false;
  while (!replied) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    auto message = m_session.client().waitFor([](const HostMessage&) { return true; },
                                              static_cast<unsigned>(MsBetween(now, deadline)));
    if (!message) break;
    replied = message->requestId == id;
    show(*message);
  }
  if (replied) {
    for (auto& m : m_session.client().collectFor(kAfterReplyMs)) show(m);
  }
  (*m_step)["messages"] = messages;
  if (replied) return Status();
  return Failure{ErrorKind::Process,
                 "no reply to \"" + step.requestName + "\" (#" + std::to_string(id) + ") within " +
                     std::to_string(m_options.timeoutMs) + " ms" +
                     (m_session.client().outputBroken() ? ": lensbridge.exe closed its pipe" : "")};
}
