#include "lbhost/steps/tether_steps.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "values/lua_value.h"
#include "values/shutter_speed.h"
#include "platform/free_name.h"
#include "platform/platform.h"
#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/core/command_args.h"
#include "lbhost/core/file_name_pattern.h"
#include "lbhost/steps/hook_command.h"
#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/setting_match.h"
#include "lbhost/vocabulary/valid_utf8.h"
#include "lbhost/vocabulary/settings_walk.h"
#include "lbhost/vocabulary/value_json.h"
#include "lbhost/vocabulary/value_printer.h"
#include "lbhost/client/win32_error_text.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The pause before the first progress line of a wait, and between the next ones.
constexpr milliseconds kFirstProgress{1000};
constexpr milliseconds kProgressEvery{2000};
// How long a process that stopped answering gets to end before it is terminated.
constexpr unsigned kUnresponsiveShutdownMs = 1500;

long long MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

std::vector<std::string> EntryTexts(const ZnLuaTETable* entries) {
  std::vector<std::string> texts;
  if (!entries) return texts;
  for (const auto& entry : *entries) texts.push_back(entry.second->getString());
  return texts;
}

// ASCII letters compared without case, as a photographer types a model name ("d850").
bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool IsDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(platform::utf8ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& path) {
  return GetFileAttributesW(platform::utf8ToWide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Makes `folder` and the folders above it that are missing.
bool MakeFolder(const std::string& folder, std::string* error) {
  if (folder.empty() || IsDirectory(folder)) return true;
  if (Exists(folder)) {
    *error = "--out " + folder + " is a file, not a folder";
    return false;
  }
  const std::size_t slash = folder.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0 && folder[slash - 1] != ':') {
    if (!MakeFolder(folder.substr(0, slash), error)) return false;
  }
  if (!CreateDirectoryW(platform::utf8ToWide(folder).c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS) {
    *error = "could not make the folder " + folder + ": " + Win32ErrorText(GetLastError());
    return false;
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// `folder\name`, or with "-1", "-2", ... before the extension when that is taken: a picture
// never replaces another. Empty when no name is free.
std::string FreePath(const std::string& folder, const std::string& name) {
  const std::string prefix =
      folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  return platform::FreeFilePath(prefix, name, 1);
}

// The files in `folder` and in its folders down to `depth` levels, as paths relative to it.
std::vector<std::string> RelativeFiles(const std::string& folder, int depth,
                                       const std::string& prefix = "") {
  std::vector<std::string> paths;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(platform::utf8ToWide(folder + "\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return paths;
  do {
    const std::string name =
        platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(entry.cFileName));
    if (name == "." || name == "..") continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth == 0) continue;
      for (auto& path : RelativeFiles(folder + "\\" + name, depth - 1, prefix + name + "\\")) {
        paths.push_back(std::move(path));
      }
    } else {
      paths.push_back(prefix + name);
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return paths;
}

// Where the process writes its downloads: the temporary folder lbhost hands it down, or the
// fallback the process takes when that is not a folder.
std::string ProcessDownloadFolder() {
  const std::string temporary = platform::temporaryDirectory();
  return platform::isDirectory(temporary) ? temporary : platform::fallbackTemporaryDirectory();
}

// The bytes written so far of a file the process downloads: its ".part" while it is written,
// then the file itself. The size comes from an open handle, as a directory entry may lag
// behind a file that another process still writes; the handle shares everything, so the
// process's rename is never refused for it.
std::optional<long long> BytesOnDisk(const std::string& path) {
  for (const std::string& candidate : {path + platform::kPartialFileSuffix, path}) {
    HANDLE file = CreateFileW(platform::utf8ToWide(candidate).c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    LARGE_INTEGER size;
    const bool known = GetFileSizeEx(file, &size) != 0;
    CloseHandle(file);
    if (known) return size.QuadPart;
  }
  return std::nullopt;
}

nlohmann::json FileJson(const DownloadedFile& file, const std::string& savedPath) {
  return {{"capture_id", file.captureId},
          {"file_name", file.fileName},
          {"file_size", file.announcedSize},
          {"has_sidecar", file.hasSidecar},
          {"path", savedPath},
          {"download_ms", static_cast<long long>(file.downloadMs)}};
}

}  // namespace

CTetherSteps::CTetherSteps(const LbhostOptions& options, CRunReport& report,
                           const std::atomic<bool>& interrupted)
    : m_options(options),
      m_report(report),
      m_interrupted(interrupted),
      m_downloadFolder(ProcessDownloadFolder()),
      m_ledger(m_downloadFolder) {
  m_session.timeoutMs = options.timeoutMs;
}

bool CTetherSteps::start(std::string* error) {
  // The folder comes first: a shot must never be taken with nowhere to put it.
  if (!MakeFolder(m_options.outFolder, error)) {
    m_errorKind = ErrorKind::Files;
    return false;
  }
  // Paths in the output are full paths, whatever folder lbhost was started in.
  if (!m_options.outFolder.empty()) {
    std::wstring full(MAX_PATH, L'\0');
    const DWORD length = GetFullPathNameW(platform::utf8ToWide(m_options.outFolder).c_str(),
                                          MAX_PATH, &full[0], nullptr);
    m_outFolder = length > 0 && length < MAX_PATH
                      ? platform::utf16ToUtf8(std::u16string(full.begin(), full.begin() + length))
                      : m_options.outFolder;
  }
  // The folder comes with its trailing separator.
  const std::string exe = !m_options.exePath.empty() ? m_options.exePath
                          : m_options.simulator
                              ? platform::executableDirectory() + "simulator\\lensbridge.exe"
                              : platform::executableDirectory() + "lensbridge.exe";
  if (!Exists(exe)) {
    *error = "there is no " + exe +
             " (lbhost starts lensbridge.exe from its own folder; "
             "--exe names another)";
    return false;
  }
  // A simulated camera answers with a real camera's name ("D850"); the photographer is told
  // once which one this is.
  if (m_options.simulator) m_report.progress("the simulated camera of " + exe + ", no real camera");
  m_errorKind = ErrorKind::Process;
  // Only one process can serve the pipes; a second one would try for ten seconds and give up.
  if (HostPipeExists(kInputPipeName)) {
    *error = "lensbridge is already running (its pipes are taken)";
    return false;
  }
  if (!runHook("init", "", error)) return false;
  // The terminal's Ctrl+C is ours to handle: the process must finish a download in
  // progress and shut down in order, not die with the picture half written.
  m_session.client().process().startInOwnProcessGroup(true);
  if (!m_session.start(exe, m_options.timeoutMs, error)) {
    CChildProcess& process = m_session.client().process();
    const auto code = process.waitForExit(0);
    if (!process.started()) {
      *error = "could not start " + exe + ": " + *error;
    } else if (code && *code == 2) {
      *error = "lensbridge is already running (its pipes are taken)";
    } else if (!code) {
      *error = "lensbridge.exe did not open its pipes within " +
               std::to_string(m_options.timeoutMs) + " ms (--timeout)";
    } else {
      *error = "lensbridge.exe ended with exit code " + std::to_string(*code) +
               " before it opened its pipes";
    }
    return false;
  }
  return runHook("start", "", error);
}

bool CTetherSteps::runHook(const std::string& action, const std::string& argument,
                           std::string* error) {
  if (m_options.hook.empty()) return true;
  std::string why;
  if (RunHookCommand(m_options.hook, action, argument,
                     static_cast<unsigned>(m_options.hookTimeoutSeconds * 1000),
                     m_report.stdoutIsData(), &why)) {
    return true;
  }
  nlohmann::json& failures = m_report.top()["hook_failures"];
  if (!failures.is_array()) failures = nlohmann::json::array();
  failures.push_back({{"action", action}, {"argument", argument}, {"message", why}});
  if (m_options.hookStops) {
    *error = why + " (--hook-stops)";
    m_errorKind = ErrorKind::Hook;
    return false;
  }
  m_report.progress(why + "; going on");
  return true;
}

bool CTetherSteps::finishHooks(std::string* error) { return runHook("stop", "", error); }

CTetherSteps::Wait CTetherSteps::waitFor(const std::function<bool(const HostMessage&)>& wanted,
                                         Clock::time_point deadline, const std::string& what,
                                         std::optional<HostMessage>* got, std::string* error,
                                         bool showProgress, bool interruptible,
                                         ShotCollection* shot) {
  const std::uint32_t device = m_camera ? m_camera->deviceId : 0;
  auto isTrouble = [device](const HostMessage& m) {
    if (m.requestId != 0) return false;
    const std::string name = m.nameText();
    if (name == "error") return true;
    return name == "deviceRemoved" && device != 0 &&
           NumberAt(m.payload.get(), "device_id").value_or(-1) == device;
  };
  const auto start = Clock::now();
  auto nextProgress = start + kFirstProgress;
  m_unplugged = false;
  m_trouble.reset();
  while (true) {
    const auto now = Clock::now();
    // A download that moves is alive, however long it takes.
    if (shot && shot->progress.grew())
      shot->deadline = std::max(shot->deadline, now + milliseconds(m_options.timeoutMs));
    // The shot's deadline moves only here, so this end holds for the whole turn.
    const auto end = shot ? std::min(deadline, shot->deadline) : deadline;
    const auto sliceEnd = std::min({end, nextProgress, now + milliseconds(200)});
    const unsigned slice = static_cast<unsigned>(std::max<long long>(0, MsBetween(now, sliceEnd)));
    // With an observer, the notifications no step waits for go to it as they come, so
    // live view and the camera's own dials stay current during a long step. Files stay
    // queued: a shot the camera took by itself is saved by the next pump().
    auto isUnclaimed = [&](const HostMessage& m) {
      if (!m_observer || m.requestId != 0) return false;
      const std::string name = m.nameText();
      return name != "objectWasAdded" && name != "fileDownloadComplete";
    };
    auto message = m_session.client().waitFor(
        [&](const HostMessage& m) { return wanted(m) || isTrouble(m) || isUnclaimed(m); }, slice);
    if (message && !wanted(*message) && !isTrouble(*message)) {
      m_observer->unclaimed(*message);
      continue;
    }
    if (message) {
      if (!isTrouble(*message)) {
        *got = std::move(message);
        return Wait::Got;
      }
      const ZnLuaTE* p = message->payload.get();
      if (message->nameText() == "error") {
        const std::string description = TextAt(p, "error_description");
        const std::string text =
            description.empty() ? "no description" : InCameraWords(description);
        const std::string code =
            "error " +
            std::to_string(static_cast<long long>(NumberAt(p, "error_code").value_or(0)));
        std::string detail = text.find(code) == std::string::npos ? code : std::string();
        if (const auto captureId = NumberAt(p, "capture_id")) {
          detail += (detail.empty() ? "capture " : ", capture ") +
                    std::to_string(static_cast<long long>(*captureId));
        }
        *error = "the camera reported a problem while waiting for " + what + ": " + text +
                 (detail.empty() ? std::string() : " (" + detail + ")");
      } else {
        *error = "the camera " + ValidUtf8(m_camera->name) + " (device " + std::to_string(device) +
                 ") was unplugged or switched off while waiting for " + what;
        m_unplugged = true;
      }
      m_errorKind = ErrorKind::Camera;
      m_trouble = std::move(message);
      // A file of the shot lbhost serve left open failed while another step ran: the shot
      // takes it, and this step goes on.
      if (m_openShot && m_openShot.get() != shot && takeFileFailure(*m_openShot, *error)) {
        error->clear();
        continue;
      }
      return Wait::Trouble;
    }
    if (m_session.client().outputBroken()) {
      auto code = m_session.client().process().waitForExit(500);
      *error = "lensbridge.exe ended while waiting for " + what +
               (code ? " (exit code " + std::to_string(*code) + ")" : std::string());
      m_errorKind = ErrorKind::Process;
      m_unresponsive = true;
      return Wait::Trouble;
    }
    if (interruptible && m_interrupted) {
      *error = "interrupted (Ctrl+C) while waiting for " + what;
      m_errorKind = ErrorKind::Interrupted;
      return Wait::Trouble;
    }
    const auto after = Clock::now();
    if (after >= end) return Wait::TimedOut;
    if (after >= nextProgress && showProgress) {
      const std::string done = shot ? shot->progress.describe() : std::string();
      m_report.progress("waiting for " + what + ": " +
                        (done.empty() ? std::string() : done + ", ") +
                        Seconds(MsBetween(start, after) / 1000.0) + " so far");
      nextProgress = after + kProgressEvery;
    }
  }
}

std::optional<HostMessage> CTetherSteps::request(const std::string& name, const ZnLuaTE* params,
                                                 std::string* error) {
  const std::uint32_t id = m_session.client().send(name, params);
  if (id == 0) {
    *error = "could not send \"" + name + "\": lensbridge.exe no longer reads its pipe";
    m_errorKind = ErrorKind::Process;
    m_unresponsive = true;
    return std::nullopt;
  }
  std::optional<HostMessage> reply;
  const Wait result = waitFor([id](const HostMessage& m) { return m.requestId == id; },
                              Clock::now() + milliseconds(m_options.timeoutMs),
                              "the answer to \"" + name + "\"", &reply, error);
  if (result == Wait::TimedOut) {
    *error = "lensbridge.exe did not answer \"" + name + "\" within " +
             std::to_string(m_options.timeoutMs) + " ms";
    m_errorKind = ErrorKind::Process;
    m_unresponsive = true;
  }
  return reply;
}

bool CTetherSteps::readSettings(std::unique_ptr<ZnLuaTE>* table, std::string* error) {
  ZnLuaTETable params;
  params.setNumber("device_id", m_camera->deviceId);
  auto reply = request("getCameraSettings", &params, error);
  if (!reply) return false;
  if (reply->nameText() == "error") {
    *error = "the camera's settings could not be read: " +
             InCameraWords(TextAt(reply->payload.get(), "error_description"));
    m_errorKind = ErrorKind::Camera;
    return false;
  }
  *table = std::move(reply->payload);
  return true;
}

bool CTetherSteps::ensureConnected(std::string* error) {
  if (m_camera) return true;
  std::vector<CameraInfo> cameras;
  if (!m_session.listCameras(&cameras, error)) {
    m_errorKind = ErrorKind::Process;
    return false;
  }
  m_errorKind = ErrorKind::Camera;
  if (cameras.empty()) {
    *error =
        "no camera answered: is one connected and switched on, and are the camera "
        "modules (Type00xx.md3) beside lensbridge.exe?";
    return false;
  }
  std::optional<CameraInfo> chosen;
  if (m_options.device.empty()) {
    chosen = cameras.front();
  } else {
    // Decimal as 'list' prints it, or hex with 0x; a leading zero does not mean octal.
    const std::string& text = m_options.device;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    const unsigned long id = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
    std::vector<CameraInfo> named;
    for (const auto& c : cameras) {
      if (!text.empty() && *end == '\0' && c.deviceId == id) chosen = c;
      if (SameTextIgnoringCase(c.name, text)) named.push_back(c);
    }
    // Two cameras of one model share a name; taking either would be a guess.
    if (!chosen && named.size() > 1) {
      std::string ids;
      for (const auto& c : named) {
        ids += (ids.empty() ? "" : " and ") + std::to_string(c.deviceId);
      }
      *error = "two or more cameras are named \"" + m_options.device + "\": give --device " + ids +
               " (their device ids)";
      return false;
    }
    if (!chosen && !named.empty()) chosen = named.front();
    if (!chosen) {
      std::string known;
      for (const auto& c : cameras) {
        known += (known.empty() ? "" : ", ") + std::to_string(c.deviceId) + " " + ValidUtf8(c.name);
      }
      *error = "no camera is \"" + m_options.device + "\"; the cameras are: " + known;
      return false;
    }
  }
  m_report.progress("connecting " + ValidUtf8(chosen->name) + " (device " +
                    std::to_string(chosen->deviceId) + ")");
  std::unique_ptr<ZnLuaTE> settings;
  if (!m_session.connect(chosen->deviceId, &settings, error)) return false;
  m_camera = chosen;
  m_report.top()["camera"] = {{"device_id", chosen->deviceId}, {"name", chosen->name}};
  const std::string connected = "camera: " + ValidUtf8(chosen->name) + " (device_id " +
                                std::to_string(chosen->deviceId) + ")";
  // "get" prints the value alone, for $(lbhost get shutter).
  if (m_quietCamera) {
    m_report.progress(connected);
  } else {
    m_report.line(connected);
  }
  return true;
}

bool CTetherSteps::run(const Step& step, std::string* error, ErrorKind* errorKind) {
  m_errorKind = ErrorKind::Camera;
  m_step = &m_report.beginStep(step.command);
  bool ok = false;
  switch (step.kind) {
    case StepKind::List:
      ok = runList(error);
      break;
    case StepKind::Send:
      ok = runSend(step, error);
      break;
    default:
      m_quietCamera = step.kind == StepKind::Get;
      ok = ensureConnected(error);
      if (!ok) break;
      switch (step.kind) {
        case StepKind::Settings:
          ok = runSettings(error);
          break;
        case StepKind::Get:
          ok = runGet(step, error);
          break;
        case StepKind::Set:
          ok = runSet(step, error);
          break;
        case StepKind::Capture:
          ok = runCapture(step, error);
          break;
        case StepKind::Watch:
          ok = runWatch(step, error);
          break;
        case StepKind::Timelapse:
          ok = runTimelapse(step, error);
          break;
        case StepKind::Stack:
          ok = runStack(step, error);
          break;
        case StepKind::LiveView:
          ok = runLiveView(step, error);
          break;
        case StepKind::Focus:
          ok = runFocus(step, error);
          break;
        case StepKind::Af:
          ok = runAf(step, error);
          break;
        default:
          *error = "the demo runs on its own";
          break;
      }
  }
  (*m_step)["ok"] = ok;
  // The entry is the report's; a caller that lets the report forget its steps (serve) may
  // not leave it behind here.
  m_step = nullptr;
  if (!ok) *errorKind = m_errorKind;
  return ok;
}

bool CTetherSteps::runList(std::string* error) {
  std::vector<CameraInfo> cameras;
  if (!m_session.listCameras(&cameras, error)) {
    m_errorKind = ErrorKind::Process;
    return false;
  }
  nlohmann::json list = nlohmann::json::array();
  for (const auto& c : cameras) {
    m_report.line(std::to_string(c.deviceId) + "  " + ValidUtf8(c.name));
    list.push_back({{"device_id", c.deviceId}, {"name", c.name}});
  }
  if (cameras.empty()) m_report.line("no camera found");
  (*m_step)["cameras"] = list;
  return true;
}

bool CTetherSteps::runSettings(std::string* error) {
  std::unique_ptr<ZnLuaTE> settings;
  if (!readSettings(&settings, error)) return false;
  ForEachSetting(settings.get(), [this](const SettingVisit& s) {
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
  (*m_step)["settings"] = SettingsToJson(settings.get());
  return true;
}

bool CTetherSteps::runGet(const Step& step, std::string* error) {
  std::unique_ptr<ZnLuaTE> settings;
  if (!readSettings(&settings, error)) return false;
  const SettingName* setting = FindSetting(step.setting);
  const char* key = setting                ? setting->valueKey
                    : step.setting == "af" ? "AFButtonPressed"
                                           : "focusMode";
  const ZnLuaTETable* table = AsTable(settings.get());
  const ZnLuaTE* value = table ? table->getValue(key) : nullptr;
  if (!value) {
    *error = "the camera does not report " + step.setting;
    return false;
  }
  (*m_step)["setting"] = step.setting;
  (*m_step)["value"] = ValueToJson(value);
  const std::string text = value->type == kZnLuaString ? value->getString() : FormatValue(value);
  m_report.line(ValidUtf8(step.setting == "focus_mode" ? FocusModeWords(text) : text));
  return true;
}

bool CTetherSteps::runSet(const Step& step, std::string* error) {
  const SettingName* setting = FindSetting(step.setting);
  std::unique_ptr<ZnLuaTE> settings;
  if (!readSettings(&settings, error)) return false;
  const ZnLuaTETable* table = AsTable(settings.get());
  const std::string before = TextAt(table, setting->valueKey);
  const ZnLuaTETable* entriesTable = table ? table->getTable(setting->entriesKey) : nullptr;
  if (!entriesTable) {
    *error = std::string("the camera does not let ") + setting->name +
             " be changed in its exposure mode" +
             (before.empty() ? std::string() : " (it is " + before + ")");
    return false;
  }
  const std::vector<std::string> entries = EntryTexts(entriesTable);
  std::string choices;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    choices += (i ? " " : "") + entries[i];
  }
  std::optional<std::size_t> index;
  if (step.index) {
    if (static_cast<std::size_t>(*step.index) < entries.size()) index = *step.index;
    if (!index) {
      // Said without the command line's words: the page sends an entry's place too.
      *error = std::string("the camera lists no ") + setting->name + " entry number " +
               std::to_string(*step.index) + ": its " + std::to_string(entries.size()) +
               " entries are numbered 0 to " + std::to_string(entries.size() - 1) +
               "; choices: " + choices;
      return false;
    }
  } else {
    index = MatchSettingEntry(entries, step.value);
    if (!index) {
      *error = std::string("the camera does not offer ") + setting->name + " \"" + step.value +
               "\"; choices: " + choices;
      return false;
    }
  }
  const std::string wanted = entries[*index];
  std::unique_ptr<ZnLuaTE> after;
  if (!m_session.changeSetting(*setting, *index, &after, error)) {
    m_errorKind = ErrorKind::Process;
    return false;
  }
  // The reply carries the settings as the camera has them now: a refused change shows here.
  std::string now = TextAt(after.get(), setting->valueKey);
  if (now != wanted) {
    std::unique_ptr<ZnLuaTE> again;
    if (readSettings(&again, error)) now = TextAt(again.get(), setting->valueKey);
  }
  (*m_step)["setting"] = setting->name;
  (*m_step)["value"] = now;
  (*m_step)["was"] = before;
  if (now != wanted) {
    *error = std::string("the camera did not take ") + setting->name + " " + wanted + ": it is " +
             (now.empty() ? "unreadable" : now);
    return false;
  }
  m_report.line(ValidUtf8(std::string(setting->name) + ": " + now + " (was " + before + ")"));
  return true;
}

unsigned CTetherSteps::releaseWaitMs(std::string* error) {
  // A bulb exposure lasts as long as the camera is told; an hour bounds the wait.
  constexpr double kBulbSeconds = 3600;
  std::unique_ptr<ZnLuaTE> settings;
  if (!readSettings(&settings, error)) return 0;
  bool bulb = false;
  const std::optional<double> exposure =
      ShutterSpeedSeconds(TextAt(settings.get(), FindSetting("shutter")->valueKey), &bulb);
  const double seconds = bulb ? kBulbSeconds : exposure.value_or(0);
  return m_options.timeoutMs + static_cast<unsigned>(std::ceil(seconds * 1000));
}

bool CTetherSteps::takeShot(Shot* shot, std::string* error) {
  const unsigned waitMs = releaseWaitMs(error);
  if (waitMs == 0) return false;
  if (!release(error)) return false;
  // lensbridge answers at once and goes on answering while the camera exposes and the files
  // transfer: the release shows in its first file, or in an "error" (a release the camera
  // refused, or one that never came back).
  return collectShot(Clock::now() + milliseconds(waitMs), false, "the camera to release", shot,
                     error, waitMs);
}

CTetherSteps::ShotCollection::ShotCollection(const std::string& downloadFolder,
                                             Clock::time_point firstFileDeadline, bool noneIsFine,
                                             std::string what, unsigned firstFileMs)
    : progress(
          [downloadFolder](const std::string& name) { return BytesOnDisk(downloadFolder + name); }),
      deadline(firstFileDeadline),
      noneIsFine(noneIsFine),
      what(std::move(what)),
      firstFileMs(firstFileMs) {}

bool CTetherSteps::ShotCollection::awaits(const DownloadedFile& file) const {
  return file.path.empty() && !shot.failed.count(file.captureId);
}

DownloadedFile* CTetherSteps::ShotCollection::pending(int captureId) {
  for (auto& file : shot.files) {
    if (file.captureId == captureId && awaits(file)) return &file;
  }
  return nullptr;
}

bool CTetherSteps::ShotCollection::settled() const {
  // A RAW+JPEG shot announces two files that both carry the sidecar mark; when one of them
  // fails, the process announces the other alone, without the mark.
  const bool pairsSettled = sidecars % 2 == 0 || shot.files.size() > sidecars || partnerLost;
  return !shot.files.empty() && ended == shot.files.size() && pairsSettled;
}

std::string CTetherSteps::ShotCollection::awaited() const {
  std::string text = shot.files.empty() ? what : "the rest of the shot";
  for (const auto& file : shot.files) {
    if (awaits(file)) text = "the download of " + file.fileName;
  }
  return text;
}

bool CTetherSteps::takeFileFailure(ShotCollection& c, const std::string& why) {
  // An "error" about a file of this shot ends that file only; one without a capture id while
  // an odd file of a pair is in is its partner, lost before it was announced.
  if (!m_trouble || m_trouble->nameText() != "error" || c.shot.files.empty()) return false;
  const int captureId =
      static_cast<int>(NumberAt(m_trouble->payload.get(), "capture_id").value_or(0));
  if (c.pending(captureId)) {
    c.shot.failed.insert(captureId);
    c.progress.ended(captureId);
    m_ledger.failed(captureId);
    ++c.ended;
  } else if (captureId == 0 && c.sidecars % 2 == 1 && !c.partnerLost) {
    c.partnerLost = true;
  } else {
    return false;
  }
  if (c.failure.empty()) c.failure = why;
  return true;
}

CTetherSteps::Collect CTetherSteps::advance(ShotCollection& c, Clock::time_point until,
                                            std::string* error) {
  auto isFile = [](const HostMessage& m) {
    return m.requestId == 0 &&
           (m.nameText() == "objectWasAdded" || m.nameText() == "fileDownloadComplete");
  };
  auto& files = c.shot.files;
  while (!c.settled()) {
    std::optional<HostMessage> message;
    // A watch waits for the photographer in silence; a download in progress shows.
    const bool waitingForPhotographer = files.empty() && c.noneIsFine;
    const std::string awaited = c.awaited();
    const Wait result = waitFor(isFile, until, awaited, &message, error, !waitingForPhotographer,
                                waitingForPhotographer, &c);
    if (result == Wait::Trouble) {
      if (takeFileFailure(c, *error)) continue;
      return Collect::Failed;
    }
    if (result == Wait::TimedOut) {
      if (Clock::now() < c.deadline) return Collect::Waiting;  // `until` came first
      if (files.empty() && c.noneIsFine) return Collect::Done;
      *error = files.empty()
                   ? "the camera did not finish the shot within " + std::to_string(c.firstFileMs) +
                         " ms (its exposure and --timeout): no picture came"
                   : awaited + " made no progress for " + std::to_string(m_options.timeoutMs) +
                         " ms (--timeout)";
      m_errorKind = ErrorKind::Camera;
      return Collect::Failed;
    }
    const ZnLuaTE* p = message->payload.get();
    c.deadline = Clock::now() + milliseconds(m_options.timeoutMs);
    if (message->nameText() == "objectWasAdded") {
      DownloadedFile file;
      file.captureId = static_cast<int>(NumberAt(p, "capture_id").value_or(0));
      file.fileName = TextAt(p, "file_name");
      file.announcedSize = static_cast<long long>(NumberAt(p, "file_size").value_or(0));
      file.hasSidecar = NumberAt(p, "has_sidecar").value_or(0) != 0;
      file.cameraFileName = TextAt(p, "camera_file_name");
      if (file.hasSidecar) ++c.sidecars;
      m_ledger.downloading(file.captureId, file.fileName);
      c.progress.started(file.captureId, file.fileName, file.announcedSize);
      files.push_back(file);
      if (m_observer) m_observer->fileAnnounced(file);
      continue;
    }
    const int captureId = static_cast<int>(NumberAt(p, "capture_id").value_or(0));
    if (DownloadedFile* file = c.pending(captureId)) {
      file->path = TextAt(p, "file_path");
      file->downloadMs = NumberAt(p, "file_download_time").value_or(0);
      m_ledger.downloaded(captureId, file->path);
      c.progress.ended(captureId);
      if (m_observer) m_observer->fileDownloaded(*file);
      ++c.ended;
    }
  }
  if (c.failure.empty()) return Collect::Done;
  *error = c.failure;
  m_errorKind = ErrorKind::Camera;
  return Collect::Failed;
}

bool CTetherSteps::collectShot(Clock::time_point firstFileDeadline, bool noneIsFine,
                               const std::string& what, Shot* shot, std::string* error,
                               unsigned firstFileMs) {
  ShotCollection c(m_downloadFolder, firstFileDeadline, noneIsFine, what, firstFileMs);
  const Collect outcome = advance(c, Clock::time_point::max(), error);
  *shot = std::move(c.shot);
  return outcome == Collect::Done;
}

bool CTetherSteps::saveShot(Shot* shot, std::string* error) {
  const bool move = !m_options.fileNamePattern.empty() || !m_outFolder.empty();
  // In --out the camera's own name is kept, with the downloaded file's extension, unless a
  // pattern says otherwise.
  const std::string pattern = m_options.fileNamePattern.empty() ? "%f" : m_options.fileNamePattern;
  if (move && m_shotCounter < 0) {
    // Numbering goes on from the files an earlier session left under the same pattern.
    const std::string base =
        !m_outFolder.empty() || shot->files.empty() ? m_outFolder : FolderOf(shot->files[0].path);
    m_shotCounter = m_options.counter ? *m_options.counter - 1
                    : PatternHasCounter(pattern)
                        ? HighestCounter(pattern, m_camera ? m_camera->name : std::string(),
                                         RelativeFiles(base, PatternFolderDepth(pattern)))
                        : 0;
  }
  ++m_shotCounter;
  std::time_t now = std::time(nullptr);
  std::tm local = *std::localtime(&now);
  for (const DownloadedFile& file : shot->files) {
    if (file.path.empty()) continue;
    std::string saved = file.path;
    if (move) {
      ShotNaming naming;
      naming.year = local.tm_year + 1900;
      naming.month = local.tm_mon + 1;
      naming.day = local.tm_mday;
      naming.hour = local.tm_hour;
      naming.minute = local.tm_min;
      naming.second = local.tm_sec;
      naming.counter = static_cast<int>(m_shotCounter);
      naming.cameraName = m_camera ? m_camera->name : std::string();
      // The camera's own name when the process passes it on; else the name it saved under.
      naming.cameraFileName = file.cameraFileName.empty() ? NameOf(file.path) : file.cameraFileName;
      const std::string savedName = NameOf(file.path);
      const std::size_t dot = savedName.find_last_of('.');
      if (dot != std::string::npos) naming.fileExtension = savedName.substr(dot);
      const std::string relative = ExpandFileNamePattern(pattern, naming);
      const std::string folder = m_outFolder.empty() ? FolderOf(file.path) : m_outFolder;
      const std::string wanted = folder + "\\" + relative;
      if (!MakeFolder(FolderOf(wanted), error)) {
        *error += "; the picture stays at " + file.path;
        m_errorKind = ErrorKind::Files;
        return false;
      }
      const std::string target = FreePath(FolderOf(wanted), NameOf(wanted));
      if (target.empty()) {
        *error = "no free name for " + NameOf(wanted) + " in " + FolderOf(wanted) +
                 "; the picture stays at " + file.path;
        m_errorKind = ErrorKind::Files;
        return false;
      }
      if (!moveWhole(file.path, target, &saved, error)) return false;
    }
    m_ledger.saved(file.captureId, saved);
    shot->savedPaths.push_back(saved);
    if (m_observer) m_observer->fileSaved(file, saved);
    if (!runHook("download", saved, error)) return false;
  }
  return true;
}

bool CTetherSteps::keepShot(bool collected, Shot* shot, std::string* error) {
  if (collected) return saveShot(shot, error);
  bool anyArrived = false;
  for (const auto& file : shot->files) anyArrived = anyArrived || !file.path.empty();
  if (!anyArrived) return false;
  const ErrorKind kind = m_errorKind;
  std::string saveError;
  if (!saveShot(shot, &saveError)) {
    *error += "; " + saveError;
  } else {
    m_errorKind = kind;  // the shot's own trouble is what ended it
  }
  return false;
}

bool CTetherSteps::moveWhole(const std::string& from, const std::string& target, std::string* saved,
                             std::string* error) {
  m_errorKind = ErrorKind::Files;
  // On one volume a rename is whole by nature.
  if (MoveFileExW(platform::utf8ToWide(from).c_str(), platform::utf8ToWide(target).c_str(),
                  MOVEFILE_WRITE_THROUGH)) {
    *saved = target;
    return true;
  }
  DWORD code = GetLastError();
  if (code != ERROR_NOT_SAME_DEVICE) {
    *error = "could not move " + from + " to " + target + ": " + Win32ErrorText(code) +
             "; the picture stays at " + from;
    return false;
  }
  // Across volumes the file is copied under a name of its own beside the target and renamed
  // once complete, so a full disk never leaves a cut-off picture under the final name.
  const std::string partial = target + platform::kPartialFileSuffix;
  if (!CopyFileW(platform::utf8ToWide(from).c_str(), platform::utf8ToWide(partial).c_str(), TRUE) ||
      !MoveFileExW(platform::utf8ToWide(partial).c_str(), platform::utf8ToWide(target).c_str(),
                   MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
    DeleteFileW(platform::utf8ToWide(partial).c_str());
    *error = "could not copy " + from + " to " + target + ": " + Win32ErrorText(code) +
             "; the picture stays at " + from;
    return false;
  }
  if (!DeleteFileW(platform::utf8ToWide(from).c_str())) {
    m_report.progress("the copy at " + target + " is complete, but " + from +
                      " could not be removed: " + Win32ErrorText(GetLastError()));
  }
  *saved = target;
  return true;
}

void CTetherSteps::reportShot(const Shot& shot, const std::string& label, nlohmann::json* files,
                              bool whole) {
  if (m_observer && whole) m_observer->shotDone(label);
  for (std::size_t i = 0; i < shot.files.size(); ++i) {
    const DownloadedFile& f = shot.files[i];
    if (f.path.empty()) continue;  // announced but never written: the error says so
    const std::string path = i < shot.savedPaths.size() ? shot.savedPaths[i] : f.path;
    m_report.line(ValidUtf8(label + ": " + f.fileName + "  file_size " +
                            std::to_string(f.announcedSize) + "  download_ms " +
                            std::to_string(static_cast<long long>(f.downloadMs)) + "  path " +
                            path));
    files->push_back(FileJson(f, path));
  }
}

bool CTetherSteps::stopRequested(const std::string& where, std::string* error) {
  if (!m_interrupted) return false;
  *error = "interrupted (Ctrl+C) " + where;
  m_errorKind = ErrorKind::Interrupted;
  return true;
}

bool CTetherSteps::runCapture(const Step& step, std::string* error) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  for (int n = 1; n <= step.count; ++n) {
    if (stopRequested("before frame " + std::to_string(n) + " of " + std::to_string(step.count),
                      error)) {
      return false;
    }
    Shot shot;
    const bool ok = keepShot(takeShot(&shot, error), &shot, error);
    reportShot(shot, "frame " + std::to_string(n) + "/" + std::to_string(step.count), &files, ok);
    if (!ok) return false;
    if (n < step.count && step.intervalSeconds > 0) {
      std::optional<HostMessage> none;
      const auto until =
          Clock::now() + milliseconds(static_cast<long long>(step.intervalSeconds * 1000));
      if (waitFor([](const HostMessage&) { return false; }, until, "the next frame", &none, error,
                  false, true) == Wait::Trouble) {
        return false;
      }
    }
  }
  return true;
}

bool CTetherSteps::runWatch(const Step& step, std::string* error) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  const auto end = step.seconds
                       ? Clock::now() + milliseconds(static_cast<long long>(*step.seconds * 1000))
                       : Clock::time_point::max();
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
    const bool collected =
        collectShot(end, true, "a shot on the camera", &shot, error, m_options.timeoutMs);
    if (!collected && m_errorKind == ErrorKind::Interrupted && shot.files.empty()) {
      m_endedByInterrupt = true;  // Ctrl+C is how a watch ends
      error->clear();
      break;
    }
    if (!collected && shot.files.empty() && !(m_unplugged && step.reconnect)) return false;
    if (!shot.files.empty()) {
      ++shots;
      const bool ok = keepShot(collected, &shot, error);
      reportShot(shot, "shot " + std::to_string(shots), &files, ok);
      if (!ok && (!step.reconnect || m_errorKind != ErrorKind::Camera)) return false;
      if (!ok) {
        // A bumped cable most often comes in the middle of a transfer: what was lost
        // is told, and watching goes on for the camera's return.
        m_report.progress("shot " + std::to_string(shots) + ": " + *error + "; watching goes on");
        nlohmann::json lostFiles = nlohmann::json::array();
        for (const auto& file : shot.files) {
          if (file.path.empty()) lostFiles.push_back(file.fileName);
        }
        nlohmann::json& lost = (*m_step)["lost"];
        if (!lost.is_array()) lost = nlohmann::json::array();
        lost.push_back({{"shot", shots}, {"file_names", lostFiles}, {"message", *error}});
        error->clear();
      }
    } else if (collected) {
      break;  // --seconds is over
    }
    if (m_unplugged && step.reconnect) {
      error->clear();
      if (!reconnect(end, error)) {
        if (m_errorKind != ErrorKind::Interrupted) return false;
        m_endedByInterrupt = true;
        error->clear();
        break;
      }
    }
  }
  (*m_step)["shots"] = shots;
  m_report.line("watch: " + std::to_string(shots) + " shot(s)");
  return true;
}

bool CTetherSteps::reconnect(Clock::time_point end, std::string* error) {
  const CameraInfo camera = *m_camera;
  m_report.progress("the camera " + ValidUtf8(camera.name) +
                    " was unplugged; waiting for it to come back (Ctrl+C ends)");
  // The module gives a camera plugged in again its old device id; the name covers a module
  // that counts on instead.
  auto isBack = [&camera](const HostMessage& m) {
    return m.requestId == 0 && m.nameText() == "deviceAdded" &&
           (NumberAt(m.payload.get(), "device_id").value_or(-1) == camera.deviceId ||
            TextAt(m.payload.get(), "name") == camera.name);
  };
  m_camera.reset();  // not the camera's own removal any more: that is what is awaited
  std::optional<HostMessage> added;
  Wait result = waitFor(isBack, end, "the camera to come back", &added, error, false, true);
  // The outcome of a transfer the unplugging cut short may come meanwhile: it is told, and
  // the wait goes on.
  while (result == Wait::Trouble && m_trouble && m_trouble->nameText() == "error") {
    if (const auto captureId = NumberAt(m_trouble->payload.get(), "capture_id")) {
      m_ledger.failed(static_cast<int>(*captureId));
    }
    m_report.progress(*error + "; waiting on for the camera");
    error->clear();
    result = waitFor(isBack, end, "the camera to come back", &added, error, false, true);
  }
  if (result != Wait::Got) {
    if (result == Wait::TimedOut) m_errorKind = ErrorKind::Camera;
    if (result == Wait::TimedOut)
      *error = "the camera " + ValidUtf8(camera.name) + " did not come back";
    m_camera = camera;
    return false;
  }
  CameraInfo back = camera;
  back.deviceId = static_cast<std::uint32_t>(
      NumberAt(added->payload.get(), "device_id").value_or(camera.deviceId));
  // The process still holds the camera it lost; it is let go first. A camera that has just
  // come back may not open at once, so the connection is tried again for --timeout.
  ZnLuaTETable params;
  params.setNumber("device_id", camera.deviceId);
  m_session.client().send("disconnectDevice", &params);
  const auto giveUp = Clock::now() + milliseconds(m_options.timeoutMs);
  std::unique_ptr<ZnLuaTE> settings;
  while (!m_session.connect(back.deviceId, &settings, error)) {
    if (Clock::now() >= giveUp || m_interrupted) {
      *error =
          "the camera " + ValidUtf8(back.name) + " came back but could not be connected: " + *error;
      m_errorKind = ErrorKind::Camera;
      m_camera = camera;
      return false;
    }
    Sleep(200);
  }
  error->clear();
  m_camera = back;
  m_report.progress("the camera " + ValidUtf8(back.name) + " is back (device " +
                    std::to_string(back.deviceId) + "); watching goes on");
  nlohmann::json& reconnects = (*m_step)["reconnects"];
  reconnects = reconnects.is_number() ? reconnects.get<int>() + 1 : 1;
  return true;
}

bool CTetherSteps::pump(unsigned ms, std::string* error) {
  const auto until = Clock::now() + milliseconds(ms);
  if (!m_openShot) {
    m_openShot = std::make_unique<ShotCollection>(m_downloadFolder, until, true,
                                                  "a shot on the camera", m_options.timeoutMs);
  }
  const Collect outcome = advance(*m_openShot, until, error);
  if (outcome == Collect::Waiting) return true;
  Shot shot = std::move(m_openShot->shot);
  m_openShot.reset();
  if (shot.files.empty()) return outcome == Collect::Done;
  nlohmann::json files = nlohmann::json::array();
  const bool ok = keepShot(outcome == Collect::Done, &shot, error);
  reportShot(shot, "camera shot", &files, ok);
  return ok;
}

bool CTetherSteps::release(std::string* error) {
  if (m_session.client().send("doCapture") != 0) return true;
  *error = "could not send \"doCapture\": lensbridge.exe no longer reads its pipe";
  m_errorKind = ErrorKind::Process;
  return false;
}

bool CTetherSteps::reconnectCamera(std::string* error) {
  nlohmann::json step;
  nlohmann::json* running = m_step;
  m_step = &step;
  const bool ok = reconnect(Clock::time_point::max(), error);
  m_step = running;
  return ok;
}

bool CTetherSteps::switchLiveView(bool wanted, bool* on, std::string* error) {
  auto status = request("isLiveViewOn", nullptr, error);
  if (!status) return false;
  *on = TextAt(status->payload.get(), "status") == "liveViewOn";
  if (*on == wanted) return true;
  if (!request("toggleLiveView", nullptr, error)) return false;
  status = request("isLiveViewOn", nullptr, error);
  if (!status) return false;
  *on = TextAt(status->payload.get(), "status") == "liveViewOn";
  if (*on != wanted) {
    *error = std::string("the camera did not ") + (wanted ? "start" : "stop") + " live view";
    m_errorKind = ErrorKind::Camera;
    return false;
  }
  return true;
}

bool CTetherSteps::runTimelapse(const Step& step, std::string* error) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  nlohmann::json& starts = (*m_step)["start_ms"] = nlohmann::json::array();
  const auto first = Clock::now();
  const auto interval = std::chrono::duration<double>(step.intervalSeconds);
  for (int n = 0; n < step.count; ++n) {
    // Each shot is due at first + n * interval, however long the shots before it took.
    const auto due = first + std::chrono::duration_cast<Clock::duration>(interval * n);
    if (Clock::now() < due) {
      std::optional<HostMessage> none;
      if (waitFor([](const HostMessage&) { return false; }, due,
                  "shot " + std::to_string(n + 1) + " of the timelapse", &none, error, false,
                  true) == Wait::Trouble) {
        return false;
      }
    } else if (n > 0) {
      m_report.progress("shot " + std::to_string(n + 1) + " is " +
                        Seconds(MsBetween(due, Clock::now()) / 1000.0) +
                        " late: the one before took longer than the interval");
    }
    if (stopRequested("before shot " + std::to_string(n + 1) + " of " + std::to_string(step.count),
                      error)) {
      return false;
    }
    starts.push_back(MsBetween(first, Clock::now()));
    Shot shot;
    const bool ok = keepShot(takeShot(&shot, error), &shot, error);
    reportShot(shot, "shot " + std::to_string(n + 1) + "/" + std::to_string(step.count), &files,
               ok);
    if (!ok) return false;
  }
  return true;
}

bool CTetherSteps::driveFocus(int direction, std::string* error) {
  ZnLuaTETable params;
  params.setNumber("focus_direction", direction);
  if (m_session.client().send("setCameraFocus", &params) == 0) {
    *error = "could not send \"setCameraFocus\": lensbridge.exe no longer reads its pipe";
    m_errorKind = ErrorKind::Process;
    return false;
  }
  // The drive has no answer; a status request behind it is answered once it is done.
  return request("isLiveViewOn", nullptr, error).has_value();
}

bool CTetherSteps::runStack(const Step& step, std::string* error) {
  nlohmann::json& files = (*m_step)["files"] = nlohmann::json::array();
  (*m_step)["step"] = FocusStepName(step.focusDirection);
  (*m_step)["direction"] = FocusWayName(step.focusDirection);
  for (int n = 1; n <= step.count; ++n) {
    if (stopRequested("before shot " + std::to_string(n) + " of the stack", error)) return false;
    if (n > 1 && !driveFocus(step.focusDirection, error)) return false;
    Shot shot;
    const bool ok = keepShot(takeShot(&shot, error), &shot, error);
    reportShot(shot, "stack " + std::to_string(n) + "/" + std::to_string(step.count), &files, ok);
    if (!ok) return false;
  }
  return true;
}

bool CTetherSteps::runLiveView(const Step& step, std::string* error) {
  auto reply = request("toggleLiveView", nullptr, error);
  if (!reply) return false;
  auto status = request("isLiveViewOn", nullptr, error);
  if (!status) return false;
  if (TextAt(status->payload.get(), "status") != "liveViewOn") {
    *error = "the camera did not start live view";
    return false;
  }
  if (step.toStdout) {
    // A frame stream is bytes: no newline translation may touch it.
    _setmode(_fileno(stdout), _O_BINARY);
  }
  auto isFrame = [](const HostMessage& m) {
    return m.requestId == 0 && m.nameText() == "liveViewImage";
  };
  const auto start = Clock::now();
  const auto end = start + milliseconds(static_cast<long long>(*step.seconds * 1000));
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
  auto keepFrame = [&](const ZnLuaTEData& data) {
    const auto* bytes = reinterpret_cast<const char*>(data.bytes());
    const std::size_t size = static_cast<std::size_t>(data.size());
    if (step.toStdout && !streamClosed) {
      // The player went away: the stream ends there, as if live view had.
      streamClosed = std::fwrite(bytes, 1, size, stdout) != size || std::fflush(stdout) != 0;
    }
    if (m_outFolder.empty()) return true;
    char name[32];
    std::snprintf(name, sizeof name, "liveview-%0*u.jpg", frameDigits,
                  static_cast<unsigned>(frames));
    const std::string path = FreePath(m_outFolder, name);
    FILE* file = path.empty() ? nullptr : platform::openForWriting(path);
    const bool written = file && std::fwrite(bytes, 1, size, file) == size;
    if (!file || std::fclose(file) != 0 || !written) {
      DeleteFileW(platform::utf8ToWide(path).c_str());
      const std::string what = path.empty() ? std::string(name) + " in " + m_outFolder : path;
      *error = "could not write " + what + " (" + std::to_string(frames - 1) +
               " frames saved before it)";
      m_errorKind = ErrorKind::Files;
      return false;
    }
    saved.push_back(path);
    return true;
  };
  auto finish = [&](bool ok) {
    (*m_step)["frames"] = frames;
    (*m_step)["saved"] = saved;
    (*m_step)["seconds"] = MsBetween(start, Clock::now()) / 1000.0;
    m_report.line("live view: " + std::to_string(frames) + " frames in " +
                  Seconds(MsBetween(start, Clock::now()) / 1000.0) +
                  (m_outFolder.empty() ? std::string() : ", saved to " + m_outFolder) +
                  (m_endedByInterrupt ? " (ended by Ctrl+C)" : ""));
    return ok;
  };
  while (Clock::now() < end && !streamClosed) {
    if (m_interrupted) {
      m_endedByInterrupt = true;
      break;
    }
    std::optional<HostMessage> frame;
    const auto deadline = std::min(end, Clock::now() + milliseconds(m_options.timeoutMs));
    const Wait result = waitFor(isFrame, deadline, "live-view frames", &frame, error, true, true);
    if (result == Wait::Trouble && m_errorKind == ErrorKind::Interrupted) {
      error->clear();
      m_endedByInterrupt = true;
      break;
    }
    if (result == Wait::Trouble) return finish(false);
    if (result == Wait::TimedOut) {
      if (Clock::now() >= end) break;
      *error = "no live-view frame came for " + std::to_string(m_options.timeoutMs) + " ms";
      return finish(false);
    }
    const ZnLuaTETable* t = AsTable(frame->payload.get());
    const ZnLuaTE* image = t ? t->getValue("image") : nullptr;
    if (image && image->type == kZnLuaData) {
      ++frames;
      if (!keepFrame(*static_cast<const ZnLuaTEData*>(image))) return finish(false);
    }
    if (Clock::now() - lastReport >= kProgressEvery) {
      lastReport = Clock::now();
      m_report.progress("live view: " + std::to_string(frames) + " frames, " +
                        Seconds(MsBetween(start, lastReport) / 1000.0) + " of " +
                        Seconds(*step.seconds));
    }
  }
  if (!request("toggleLiveView", nullptr, error)) return finish(false);
  // Frames sent before the stop was handled are of no further use.
  while (m_session.client().waitFor(isFrame, 0)) {
  }
  return finish(true);
}

bool CTetherSteps::runFocus(const Step& step, std::string* error) {
  for (int i = 0; i < step.times; ++i) {
    if (!driveFocus(step.focusDirection, error)) return false;
  }
  (*m_step)["direction"] = FocusWayName(step.focusDirection);
  (*m_step)["step"] = FocusStepName(step.focusDirection);
  (*m_step)["times"] = step.times;
  m_report.line(std::string("focus: ") + std::to_string(step.times) + " " +
                FocusStepName(step.focusDirection) + " step(s) " +
                FocusWayName(step.focusDirection));
  return true;
}

bool CTetherSteps::runAf(const Step& step, std::string* error) {
  const char* wanted = step.afOn ? "On" : "Off";
  std::unique_ptr<ZnLuaTE> settings;
  if (!readSettings(&settings, error)) return false;
  const std::string before = TextAt(settings.get(), "AFButtonPressed");
  if (before != wanted) {
    auto reply = request("doAutoFocus", nullptr, error);
    if (!reply) return false;
    if (!readSettings(&settings, error)) return false;
  }
  const std::string now = TextAt(settings.get(), "AFButtonPressed");
  (*m_step)["af"] = now;
  (*m_step)["was"] = before;
  if (now != wanted) {
    *error = std::string("the camera did not switch auto-focus ") + (step.afOn ? "on" : "off") +
             " (it is " + (now.empty() ? "unknown" : now) + ")";
    return false;
  }
  m_report.line(std::string("af: ") + (step.afOn ? "on" : "off") +
                (before == now ? " (already)" : ""));
  return true;
}

bool CTetherSteps::runSend(const Step& step, std::string* error) {
  // Notifications that arrive just after the reply belong to the same exchange.
  constexpr unsigned kAfterReplyMs = 300;
  std::unique_ptr<ZnLuaTETable> params = BuildParameterTable(step.requestParameters, error);
  if (!params) return false;
  const std::uint32_t id = m_session.client().send(step.requestName, params.get());
  if (id == 0) {
    *error = "could not send the request: lensbridge.exe no longer reads its pipe";
    m_errorKind = ErrorKind::Process;
    return false;
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
  if (!replied) {
    *error = "no reply to \"" + step.requestName + "\" (#" + std::to_string(id) + ") within " +
             std::to_string(m_options.timeoutMs) + " ms" +
             (m_session.client().outputBroken() ? ": lensbridge.exe closed its pipe" : "");
    m_errorKind = ErrorKind::Process;
    return false;
  }
  return true;
}

bool CTetherSteps::shutdown(std::string* error) {
  if (!m_session.client().process().started()) return true;
  bool ok = true;
  if (m_unresponsive) {
    // The process is stuck in the camera: ask once, briefly, then end it.
    m_session.client().send("shutdown");
    if (!m_session.client().process().waitForExit(kUnresponsiveShutdownMs)) {
      m_session.client().process().terminate();
    }
  } else {
    unsigned long exitCode = 0;
    ok = m_session.shutdown(&exitCode, error);
    if (ok && exitCode != 0) {
      *error = "lensbridge.exe ended with exit code " + std::to_string(exitCode);
      ok = false;
    }
  }
  // What no step waited for (the rest of a shot a failure cut short, a shot taken on the
  // camera meanwhile) was left queued; the ledger names those files now.
  for (const HostMessage& m : m_session.client().takeReceived()) {
    if (m.requestId != 0) continue;
    const ZnLuaTE* p = m.payload.get();
    const int captureId = static_cast<int>(NumberAt(p, "capture_id").value_or(0));
    const std::string name = m.nameText();
    if (name == "objectWasAdded") m_ledger.downloading(captureId, TextAt(p, "file_name"));
    if (name == "fileDownloadComplete") m_ledger.downloaded(captureId, TextAt(p, "file_path"));
    if (name == "error" && captureId != 0) m_ledger.failed(captureId);
  }
  // Whatever ended the session, no file it leaves behind goes unnamed.
  const std::vector<std::string> notSaved = m_ledger.notSaved();
  for (const auto& line : notSaved) m_report.progress("not saved: " + line);
  if (!notSaved.empty()) m_report.top()["not_saved"] = notSaved;
  return ok;
}
