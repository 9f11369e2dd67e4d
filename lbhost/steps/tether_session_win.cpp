// CTetherSteps' session with the process: starting and shutting it down, requests, the
// camera's connection, and running one step.
#include "lbhost/steps/tether_steps.h"

#include <windows.h>

#include <cctype>
#include <map>

#include "platform/platform.h"
#include "lbhost/steps/step_support.h"
#include "lbhost/vocabulary/camera_words.h"
#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/valid_utf8.h"

using namespace step_support;

namespace {

// How long a process that stopped answering gets to end before it is terminated.
constexpr unsigned kUnresponsiveShutdownMs = 1500;

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

// The camera --device names among `cameras`: a device id (decimal as 'list' prints it, or hex
// with 0x; a leading zero does not mean octal) or a name.
Result<CameraInfo> ChooseCamera(const std::vector<CameraInfo>& cameras, const std::string& text) {
  if (text.empty()) return cameras.front();
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  const unsigned long id = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
  std::vector<CameraInfo> named;
  for (const auto& c : cameras) {
    if (*end == '\0' && c.deviceId == id) return c;
    if (SameTextIgnoringCase(c.name, text)) named.push_back(c);
  }
  // Two cameras of one model share a name; taking either would be a guess.
  if (named.size() > 1) {
    std::string ids;
    for (const auto& c : named) ids += (ids.empty() ? "" : " and ") + std::to_string(c.deviceId);
    return Failure{ErrorKind::Camera, "two or more cameras are named \"" + text +
                                          "\": give --device " + ids + " (their device ids)"};
  }
  if (!named.empty()) return named.front();
  std::string known;
  for (const auto& c : cameras) {
    known += (known.empty() ? "" : ", ") + std::to_string(c.deviceId) + " " + ValidUtf8(c.name);
  }
  return Failure{ErrorKind::Camera, "no camera is \"" + text + "\"; the cameras are: " + known};
}

// Where the process writes its downloads: the temporary folder lbhost hands it down, or the
// fallback the process takes when that is not a folder.
std::string ProcessDownloadFolder() {
  const std::string temporary = platform::temporaryDirectory();
  return platform::isDirectory(temporary) ? temporary : platform::fallbackTemporaryDirectory();
}

Failure ProcessFailure(std::string message) { return Failure{ErrorKind::Process, message}; }

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

Status CTetherSteps::start() {
  // The folder comes first: a shot must never be taken with nowhere to put it.
  if (Status made = MakeFolder(m_options.outFolder); !made) return made;
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
  if (!platform::fileExists(exe)) {
    return ProcessFailure("there is no " + exe +
                          " (lbhost starts lensbridge.exe from its own folder; "
                          "--exe names another)");
  }
  // A simulated camera answers with a real camera's name ("D850"); the photographer is told
  // once which one this is.
  if (m_options.simulator) m_report.progress("the simulated camera of " + exe + ", no real camera");
  // Only one process can serve the pipes; a second one would try for ten seconds and give up.
  const std::string taken = "lensbridge is already running (its pipes are taken)";
  if (HostPipeExists(kInputPipeName)) return ProcessFailure(taken);
  if (Status hooked = runHook("init", ""); !hooked) return hooked;
  // The terminal's Ctrl+C is ours to handle: the process must finish a download in
  // progress and shut down in order, not die with the picture half written.
  m_session.client().process().startInOwnProcessGroup(true);
  std::string error;
  if (!m_session.start(exe, m_options.timeoutMs, &error)) {
    CChildProcess& process = m_session.client().process();
    const auto code = process.waitForExit(0);
    if (!process.started()) return ProcessFailure("could not start " + exe + ": " + error);
    if (code && *code == 2) return ProcessFailure(taken);
    if (!code) {
      return ProcessFailure("lensbridge.exe did not open its pipes within " +
                            std::to_string(m_options.timeoutMs) + " ms (--timeout)");
    }
    return ProcessFailure("lensbridge.exe ended with exit code " + std::to_string(*code) +
                          " before it opened its pipes");
  }
  return runHook("start", "");
}

Status CTetherSteps::shutdown() {
  if (!m_session.client().process().started()) return Status();
  Status outcome;
  if (m_unresponsive) {
    // The process is stuck in the camera: ask once, briefly, then end it.
    m_session.client().send("shutdown");
    if (!m_session.client().process().waitForExit(kUnresponsiveShutdownMs)) {
      m_session.client().process().terminate();
    }
  } else {
    unsigned long exitCode = 0;
    std::string error;
    if (!m_session.shutdown(&exitCode, &error)) {
      outcome = ProcessFailure(error);
    } else if (exitCode != 0) {
      outcome = ProcessFailure("lensbridge.exe ended with exit code " + std::to_string(exitCode));
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
  return outcome;
}

Status CTetherSteps::post(const std::string& name, const ZnLuaTE* params) {
  if (m_session.client().send(name, params) != 0) return Status();
  return ProcessFailure("could not send \"" + name + "\": lensbridge.exe no longer reads its pipe");
}

Result<HostMessage> CTetherSteps::request(const std::string& name, const ZnLuaTE* params) {
  const std::uint32_t id = m_session.client().send(name, params);
  if (id == 0) {
    m_unresponsive = true;
    return ProcessFailure("could not send \"" + name +
                          "\": lensbridge.exe no longer reads its pipe");
  }
  auto reply =
      waitFor([id](const HostMessage& m) { return m.requestId == id; },
              Clock::now() + milliseconds(m_options.timeoutMs), "the answer to \"" + name + "\"");
  if (!reply) return reply.failure();
  if (*reply) return std::move(**reply);
  m_unresponsive = true;
  return ProcessFailure("lensbridge.exe did not answer \"" + name + "\" within " +
                        std::to_string(m_options.timeoutMs) + " ms");
}

Result<std::unique_ptr<ZnLuaTE>> CTetherSteps::readSettings() {
  ZnLuaTETable params;
  params.setNumber("device_id", m_camera->deviceId);
  auto reply = request("getCameraSettings", &params);
  if (!reply) return reply.failure();
  if (reply->nameText() == "error") {
    return Failure{ErrorKind::Camera,
                   "the camera's settings could not be read: " +
                       InCameraWords(TextAt(reply->payload.get(), "error_description"))};
  }
  return std::move(reply->payload);
}

Status CTetherSteps::ensureConnected() {
  if (m_camera) return Status();
  std::vector<CameraInfo> cameras;
  std::string error;
  if (!m_session.listCameras(&cameras, &error)) return ProcessFailure(error);
  if (cameras.empty()) {
    return Failure{ErrorKind::Camera,
                   "no camera answered: is one connected and switched on, and are the camera "
                   "modules (Type00xx.md3) beside lensbridge.exe?"};
  }
  Result<CameraInfo> chosen = ChooseCamera(cameras, m_options.device);
  if (!chosen) return chosen;
  m_report.progress("connecting " + ValidUtf8(chosen->name) + " (device " +
                    std::to_string(chosen->deviceId) + ")");
  std::unique_ptr<ZnLuaTE> settings;
  if (!m_session.connect(chosen->deviceId, &settings, &error)) {
    return Failure{ErrorKind::Camera, error};
  }
  m_camera = *chosen;
  m_report.top()["camera"] = {{"device_id", chosen->deviceId}, {"name", chosen->name}};
  const std::string connected = "camera: " + ValidUtf8(chosen->name) + " (device_id " +
                                std::to_string(chosen->deviceId) + ")";
  // "get" prints the value alone, for $(lbhost get shutter).
  if (m_quietCamera) {
    m_report.progress(connected);
  } else {
    m_report.line(connected);
  }
  return Status();
}

Status CTetherSteps::reconnect(Clock::time_point end) {
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
  auto added = waitFor(isBack, end, "the camera to come back", kQuietInterruptible);
  // The outcome of a transfer the unplugging cut short may come meanwhile: it is told, and
  // the wait goes on.
  while (!added && m_trouble && m_trouble->nameText() == "error") {
    if (const auto captureId = NumberAt(m_trouble->payload.get(), "capture_id")) {
      m_ledger.failed(static_cast<int>(*captureId));
    }
    m_report.progress(added.failure().message + "; waiting on for the camera");
    added = waitFor(isBack, end, "the camera to come back", kQuietInterruptible);
  }
  if (!added || !*added) {
    m_camera = camera;
    if (!added) return added.failure();
    return Failure{ErrorKind::Camera,
                   "the camera " + ValidUtf8(camera.name) + " did not come back"};
  }
  CameraInfo back = camera;
  back.deviceId = static_cast<std::uint32_t>(
      NumberAt((*added)->payload.get(), "device_id").value_or(camera.deviceId));
  // The process still holds the camera it lost; it is let go first. A camera that has just
  // come back may not open at once, so the connection is tried again for --timeout.
  ZnLuaTETable params;
  params.setNumber("device_id", camera.deviceId);
  m_session.client().send("disconnectDevice", &params);
  const auto giveUp = Clock::now() + milliseconds(m_options.timeoutMs);
  std::unique_ptr<ZnLuaTE> settings;
  std::string error;
  while (!m_session.connect(back.deviceId, &settings, &error)) {
    if (Clock::now() >= giveUp || m_interrupted) {
      m_camera = camera;
      return Failure{ErrorKind::Camera, "the camera " + ValidUtf8(back.name) +
                                            " came back but could not be connected: " + error};
    }
    Sleep(200);
  }
  m_camera = back;
  m_report.progress("the camera " + ValidUtf8(back.name) + " is back (device " +
                    std::to_string(back.deviceId) + "); watching goes on");
  nlohmann::json& reconnects = (*m_step)["reconnects"];
  reconnects = reconnects.is_number() ? reconnects.get<int>() + 1 : 1;
  return Status();
}

Status CTetherSteps::reconnectCamera() {
  nlohmann::json step;
  nlohmann::json* running = m_step;
  m_step = &step;
  Status back = reconnect(Clock::time_point::max());
  m_step = running;
  return back;
}

Status CTetherSteps::release() { return post("doCapture"); }

Result<bool> CTetherSteps::switchLiveView(bool wanted) {
  auto isOn = [this]() -> Result<bool> {
    auto status = request("isLiveViewOn");
    if (!status) return status.failure();
    return TextAt(status->payload.get(), "status") == "liveViewOn";
  };
  Result<bool> on = isOn();
  if (!on || *on == wanted) return on;
  if (auto toggled = request("toggleLiveView"); !toggled) return toggled.failure();
  on = isOn();
  if (on && *on != wanted) {
    return Failure{ErrorKind::Camera,
                   std::string("the camera did not ") + (wanted ? "start" : "stop") + " live view"};
  }
  return on;
}

Status CTetherSteps::run(const Step& step) {
  using Runner = Status (CTetherSteps::*)(const Step&);
  static const std::map<StepKind, Runner> kRunners = {
      {StepKind::List, &CTetherSteps::runList},
      {StepKind::Send, &CTetherSteps::runSend},
      {StepKind::Settings, &CTetherSteps::runSettings},
      {StepKind::Get, &CTetherSteps::runGet},
      {StepKind::Set, &CTetherSteps::runSet},
      {StepKind::Capture, &CTetherSteps::runCapture},
      {StepKind::Watch, &CTetherSteps::runWatch},
      {StepKind::Timelapse, &CTetherSteps::runTimelapse},
      {StepKind::Stack, &CTetherSteps::runStack},
      {StepKind::LiveView, &CTetherSteps::runLiveView},
      {StepKind::Focus, &CTetherSteps::runFocus},
      {StepKind::Af, &CTetherSteps::runAf}};
  m_step = &m_report.beginStep(step.command);
  const auto runner = kRunners.find(step.kind);
  Status outcome = Failure{ErrorKind::Camera, step.command + " does not run as a step here"};
  if (runner != kRunners.end()) {
    // Listing the cameras and sending a raw request need no camera connected.
    m_quietCamera = step.kind == StepKind::Get;
    const bool connectionFree = step.kind == StepKind::List || step.kind == StepKind::Send;
    outcome = connectionFree ? Status() : ensureConnected();
    if (outcome) outcome = (this->*runner->second)(step);
  }
  (*m_step)["ok"] = static_cast<bool>(outcome);
  // The entry is the report's; a caller that lets the report forget its steps (serve) may
  // not leave it behind here.
  m_step = nullptr;
  return outcome;
}
