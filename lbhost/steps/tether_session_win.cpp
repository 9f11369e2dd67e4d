// CTetherSteps' session with the process: starting and shutting it down, requests, the
// camera's connection, and running one step.
#include "lbhost/steps/tether_steps.h"

#include <windows.h>

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

Result<std::unique_ptr<ZnLuaTE>> CTetherSteps::readSettings(std::uint32_t deviceId) {
  if (deviceId == 0) deviceId = m_camera->deviceId;
  ZnLuaTETable params;
  params.setNumber("device_id", deviceId);
  auto reply = request("getCameraSettings", &params);
  if (!reply) return reply.failure();
  if (reply->nameText() == "error") {
    return Failure{ErrorKind::Camera,
                   "the settings of " + ValidUtf8(cameraLabel(deviceId)) + " could not be read: " +
                       InCameraWords(TextAt(reply->payload.get(), "error_description"))};
  }
  return std::move(reply->payload);
}

Result<std::vector<ListedCamera>> CTetherSteps::listCameras(Clock::time_point firstCameraBy) {
  std::vector<CameraInfo> cameras;
  std::string error;
  if (!m_session.listCameras(&cameras, &error)) return ProcessFailure(error);
  while (cameras.empty()) {
    auto isAdded = [](const HostMessage& m) {
      return m.requestId == 0 && m.nameText() == "deviceAdded";
    };
    auto added = waitFor(isAdded, firstCameraBy, "a camera to be found", {true, true});
    if (!added) return added.failure();
    if (!*added) break;
    if (!m_session.listCameras(&cameras, &error)) return ProcessFailure(error);
  }
  const std::string namesFile =
      m_options.namesFile.empty() ? CCameraNames::defaultPath() : m_options.namesFile;
  Result<CCameraNames> book = CCameraNames::load(namesFile);
  if (!book) return book.failure();
  std::vector<ListedCamera> listed;
  for (const auto& c : cameras) {
    listed.push_back({c.deviceId, c.name});
    m_models[c.deviceId] = c.name;
  }
  m_names = book->namesOf(listed);
  return listed;
}

std::string CTetherSteps::cameraLabel(std::uint32_t deviceId) const {
  const auto name = m_names.find(deviceId);
  if (name != m_names.end()) return name->second;
  const auto model = m_models.find(deviceId);
  const std::string text = model == m_models.end() ? "camera" : model->second;
  return rig() ? text + "-" + std::to_string(deviceId) : text;
}

Status CTetherSteps::ensureConnected(Clock::time_point firstCameraBy) {
  if (m_camera) return Status();
  Result<std::vector<ListedCamera>> cameras = listCameras(firstCameraBy);
  if (!cameras) return cameras;
  if (cameras->empty()) {
    return Failure{ErrorKind::Camera,
                   "no camera answered: is one connected and switched on, and are the camera "
                   "modules (Type00xx.md3) beside lensbridge.exe?"};
  }
  Result<std::vector<std::uint32_t>> chosen = ChooseCameras(*cameras, m_names, m_options.device);
  if (!chosen) return chosen;
  // A rig's cameras are connected one after the other, each keeping those before it; the
  // first becomes the one the single-camera requests are about.
  std::vector<CameraInfo> connected;
  nlohmann::json list = nlohmann::json::array();
  std::string names;
  for (const std::uint32_t id : *chosen) {
    const CameraInfo camera{id, m_models[id]};
    const std::string label = cameraLabel(id);
    m_report.progress("connecting " + ValidUtf8(label) + " (" + ValidUtf8(camera.name) +
                      ", device " + std::to_string(id) + ")");
    std::unique_ptr<ZnLuaTE> settings;
    std::string error;
    if (!m_session.connect(id, &settings, &error, !connected.empty())) {
      return Failure{ErrorKind::Camera, ValidUtf8(label) + ": " + error};
    }
    connected.push_back(camera);
    list.push_back({{"device_id", id}, {"name", camera.name}});
    if (m_names.count(id)) list.back()["chosen_name"] = m_names[id];
    names += (names.empty() ? "" : ", ") + label +
             (m_names.count(id) ? " (" + camera.name + ")" : "") + " (device_id " +
             std::to_string(id) + ")";
  }
  m_camera = connected.front();
  m_session.selectDevice(m_camera->deviceId);
  if (rig()) {
    m_rig = connected;
    m_report.top()["cameras"] = list;
  }
  m_report.top()["camera"] = list.front();
  const std::string line = (rig() ? "cameras: " : "camera: ") + ValidUtf8(names);
  // "get" prints the value alone, for $(lbhost get shutter).
  if (m_quietCamera) {
    m_report.progress(line);
  } else {
    m_report.line(line);
  }
  return Status();
}

Status CTetherSteps::reconnect(Clock::time_point end) {
  const CameraInfo camera = *m_camera;
  m_report.progress("the camera " + ValidUtf8(camera.name) +
                    " was unplugged; waiting for it to come back (Ctrl+C ends)");
  // The module gives a camera plugged in again its old device id; the name covers a module
  // that counts on instead, on the same module only: another module's camera of the same model
  // is another body.
  auto isBack = [&camera](const HostMessage& m) {
    if (m.requestId != 0 || m.nameText() != "deviceAdded") return false;
    const double id = NumberAt(m.payload.get(), "device_id").value_or(-1);
    const bool sameModule =
        id >= 0 && (static_cast<std::uint32_t>(id) & 0xFF00) == (camera.deviceId & 0xFF00);
    return id == camera.deviceId || (sameModule && TextAt(m.payload.get(), "name") == camera.name);
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
  // Back under a new device id, it keeps its chosen name.
  if (auto relisted = listCameras(Clock::now()); !relisted) return relisted;
  m_report.progress("the camera " + ValidUtf8(cameraLabel(back.deviceId)) + " is back (device " +
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
      {StepKind::Af, &CTetherSteps::runAf},
      {StepKind::Name, &CTetherSteps::runName}};
  m_step = &m_report.beginStep(step.command);
  const auto runner = kRunners.find(step.kind);
  Status outcome = Failure{ErrorKind::Camera, step.command + " does not run as a step here"};
  if (runner != kRunners.end()) {
    // Listing the cameras and sending a raw request need no camera connected.
    m_quietCamera = step.kind == StepKind::Get;
    const bool connectionFree =
        step.kind == StepKind::List || step.kind == StepKind::Send || step.kind == StepKind::Name;
    // A step that needs a camera waits for --timeout for one to be switched on.
    outcome = connectionFree ? Status()
                             : ensureConnected(Clock::now() + milliseconds(m_options.timeoutMs));
    if (outcome) outcome = (this->*runner->second)(step);
  }
  (*m_step)["ok"] = static_cast<bool>(outcome);
  // The entry is the report's; a caller that lets the report forget its steps (serve) may
  // not leave it behind here.
  m_step = nullptr;
  return outcome;
}
