// lbhost serve's camera thread: one CTetherSteps session at a time, started again when
// lensbridge.exe stops, with the camera connected again when it comes back; the page's
// commands run as the command line's steps do, and what happens meanwhile goes to the hub.
//
// A --device that names several cameras serves a rig: every camera's live view, Capture fires
// them all (one doRigCapture, collected as the command line's capture collects it), and a
// setting is set on each. A rig camera that goes, or one that comes under --device all, starts
// the session again, which connects the rig as it now is.
#include "lbhost/serve/serve.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "lbhost/core/camera_names.h"
#include "lbhost/serve/serve_access.h"
#include "lbhost/serve/serve_hub.h"
#include "lbhost/serve/serve_server_win.h"
#include "lbhost/vocabulary/valid_utf8.h"
#include "lbhost/steps/tether_steps.h"
#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/value_json.h"
#include "values/lua_value.h"

namespace {

// How long the camera thread waits for the camera between looks at the page's commands; it
// bounds how late a tap is taken up.
constexpr unsigned kPumpMs = 50;
// The pause before lensbridge.exe is started again, or a missing camera looked for again.
constexpr unsigned kRetryMs = 1000;

class CServeSession : public CTetherObserver {
 public:
  // `announce` is called once lensbridge.exe runs for the first time, to print the address.
  CServeSession(const LbhostOptions& options, CRunReport& report,
                const std::atomic<bool>& interrupted, std::atomic<const CFileLedger*>* ledger,
                CServeHub& hub, std::function<void()> announce)
      : m_options(options),
        m_report(report),
        m_interrupted(interrupted),
        m_ledger(ledger),
        m_hub(hub),
        m_announce(std::move(announce)) {}

  ~CServeSession() override { m_ledger->store(nullptr); }

  // Runs until Ctrl+C; the exit code.
  int run();

  void unclaimed(const HostMessage& message) override;
  void fileAnnounced(const DownloadedFile& file) override {
    nlohmann::json labels = nlohmann::json::object();
    if (rig() && m_tether) {
      const std::uint32_t device = file.deviceId ? file.deviceId : firstCamera();
      labels = {{"device_id", device}, {"camera", ValidUtf8(m_tether->cameraCalled(device))}};
      if (file.rigShot) labels["rig_shot"] = file.rigShot;
    }
    m_hub.addPicture(file.captureId, file.fileName, file.announcedSize, labels);
  }
  void fileDownloaded(const DownloadedFile& file) override {
    if (const int id = m_hub.pendingPicture(file.captureId, file.fileName))
      m_hub.updatePicture(id, "downloaded");
  }
  void fileSaved(const DownloadedFile& file, const std::string& path) override {
    if (const int id = m_hub.pendingPicture(file.captureId, file.fileName))
      m_hub.updatePicture(id, "complete", path);
  }
  void shotDone(const std::string& label) override {
    if (m_job.empty() && m_capturesOpen > 0) {
      --m_capturesOpen;
      m_hub.publish("job", {{"running", false}, {"job", "a capture"}, {"progress", "done"}});
    }
    if (m_job.empty()) return;
    m_hub.publish("job", {{"running", true}, {"job", m_job}, {"progress", label}});
  }
  void rigShotEnded(const nlohmann::json& shot) override;

 private:
  bool startHelper();
  bool connectCamera();
  void runCommand(const Step& step);
  // After a failed step or wait: tells the page what happened and recovers what can be
  // recovered (a camera that comes back, a lensbridge.exe started again); a failure of one
  // command only is told and the session goes on.
  void recover(const Failure& failure);
  void publishSettings();
  void publishCamera(bool present, const std::string& text);
  // The rig's cameras with the values of their settings, for the page's tiles and the marks
  // on settings that differ.
  void publishRig();
  // Live view of every camera of the rig on or off; a camera that does not switch is told.
  Status switchRigLiveView(bool on);
  // Ends this lensbridge.exe; run() starts another and connects the camera again.
  void dropHelper(const std::string& why);
  bool rig() const { return NamesSeveralCameras(m_options.device); }
  std::uint32_t firstCamera() const {
    return m_tether && m_tether->camera() ? m_tether->camera()->deviceId : 0;
  }
  void sleepInterruptibly(unsigned ms);
  bool quitting() const { return m_interrupted.load(); }

  const LbhostOptions& m_options;
  CRunReport& m_report;                       // not owned
  const std::atomic<bool>& m_interrupted;     // not owned; set by Ctrl+C
  std::atomic<const CFileLedger*>* m_ledger;  // not owned
  CServeHub& m_hub;                           // not owned
  std::function<void()> m_announce;
  std::unique_ptr<CTetherSteps> m_tether;  // null while lensbridge.exe is not running
  bool m_connected = false;
  bool m_wantLiveView = false;            // the page's choice, restored after the camera comes back
  std::string m_job;                      // the running stack or timelapse, for its progress
  int m_capturesOpen = 0;                 // the page's releases whose shots have not been collected
  std::optional<Failure> m_startFailure;  // why the first start failed; a later one is retried
  bool m_everStarted = false;
  // A rig's: each camera's live view as switched (the process tells the current camera's
  // only), each camera's settings as SettingsToJson gives them, and whether the rig is to be
  // connected again (a camera went mid-shot, or a new one came under --device all).
  std::map<std::uint32_t, bool> m_rigLiveView;
  std::map<std::uint32_t, nlohmann::json> m_rigSettings;
  bool m_reconnectRig = false;
};

void CServeSession::rigShotEnded(const nlohmann::json& shot) {
  // The page is told who fired when, who did not and why, and whose files did not all come;
  // where the files are stays here.
  nlohmann::json cameras = nlohmann::json::array();
  for (const auto& camera : shot.value("cameras", nlohmann::json::array())) {
    nlohmann::json entry = {{"device_id", camera.value("device_id", 0)},
                            {"camera", camera.value("camera", "")}};
    for (const char* key : {"fired_ms", "error", "lost"})
      if (camera.contains(key)) entry[key] = camera[key];
    int missing = 0;
    for (const auto& file : camera.value("files", nlohmann::json::array()))
      missing += file["path"].is_null();
    if (missing) entry["missing"] = missing;
    // A camera that went mid-shot: the rig is connected again as it now is.
    if (camera.value("lost", false)) m_reconnectRig = true;
    cameras.push_back(entry);
  }
  nlohmann::json told = {{"rig_shot", shot.value("rig_shot", 0)}, {"cameras", cameras}};
  if (shot.contains("skew_ms")) told["skew_ms"] = shot["skew_ms"];
  m_hub.addRigShot(told);
}

void CServeSession::publishRig() {
  nlohmann::json cameras = nlohmann::json::array();
  for (const CameraInfo& camera : m_tether->rigCameras()) {
    nlohmann::json values = nlohmann::json::object();
    for (const auto& [key, setting] : m_rigSettings[camera.deviceId].items())
      values[key] = setting.is_object() ? setting.value("value", nlohmann::json()) : setting;
    cameras.push_back({{"device_id", camera.deviceId},
                       {"name", ValidUtf8(m_tether->cameraCalled(camera.deviceId))},
                       {"model", ValidUtf8(camera.name)},
                       {"settings", values}});
  }
  m_hub.publish("rig", {{"cameras", cameras}});
}

Status CServeSession::switchRigLiveView(bool on) {
  for (const CameraInfo& camera : m_tether->rigCameras()) {
    bool& now = m_rigLiveView[camera.deviceId];
    if (now == on) continue;
    if (Status switched = m_tether->toggleLiveView(camera.deviceId); !switched) {
      if (switched.failure().kind == ErrorKind::Process) return switched;
      m_hub.notice(switched.failure().message);
      continue;
    }
    now = on;
  }
  return Status();
}

void CServeSession::sleepInterruptibly(unsigned ms) {
  for (unsigned slept = 0; slept < ms && !quitting(); slept += 50) Sleep(50);
}

void CServeSession::publishCamera(bool present, const std::string& text) {
  nlohmann::json camera = {{"present", present}, {"text", ValidUtf8(text)}};
  if (m_tether && m_tether->camera()) {
    camera["name"] = ValidUtf8(m_tether->camera()->name);
    camera["device_id"] = m_tether->camera()->deviceId;
  }
  if (m_tether && !m_tether->rigCameras().empty()) {
    std::string names;
    for (const CameraInfo& c : m_tether->rigCameras())
      names += (names.empty() ? "" : ", ") + m_tether->cameraCalled(c.deviceId);
    camera["name"] = ValidUtf8(names);
  }
  m_hub.publish("camera", camera);
  m_hub.setAvailability(present, text);
}

void CServeSession::publishSettings() {
  if (rig()) {
    // Each camera's, the first one's for the choices the page offers.
    for (const CameraInfo& camera : m_tether->rigCameras()) {
      auto settings = m_tether->readSettings(camera.deviceId);
      if (!settings) {
        m_hub.notice(settings.failure().message);
        continue;
      }
      m_rigSettings[camera.deviceId] = SettingsToJson(settings->get());
      if (camera.deviceId == firstCamera())
        m_hub.publish("settings", m_rigSettings[camera.deviceId]);
    }
    publishRig();
    return;
  }
  if (auto settings = m_tether->readSettings()) {
    m_hub.publish("settings", SettingsToJson(settings->get()));
  } else {
    m_hub.notice("the camera's settings could not be read: " + settings.failure().message);
  }
}

bool CServeSession::startHelper() {
  m_hub.publish("helper", {{"running", false}, {"text", "starting lensbridge"}});
  m_tether = std::make_unique<CTetherSteps>(m_options, m_report, m_hub.stopFlag());
  m_tether->setObserver(this);
  m_ledger->store(&m_tether->ledger());
  if (Status started = m_tether->start(); !started) {
    // A first start that fails (no lensbridge.exe, an --out that cannot be made, the pipes
    // taken) is told on the command line at once; a restart is tried again.
    const std::string& error = started.failure().message;
    if (!m_everStarted) m_startFailure = started.failure();
    if (m_everStarted) m_report.progress("serve: " + error + "; trying again");
    m_hub.publish("helper", {{"running", false}, {"text", ValidUtf8(error)}});
    m_ledger->store(nullptr);
    m_tether.reset();
    return false;
  }
  m_hub.publish("helper", {{"running", true}, {"text", "lensbridge is running"}});
  if (!m_everStarted && m_announce) m_announce();
  m_everStarted = true;
  return true;
}

bool CServeSession::connectCamera() {
  if (Status connected = m_tether->connectCamera(); !connected) {
    if (connected.failure().kind == ErrorKind::Process) {
      recover(connected.failure());
    } else {
      publishCamera(false, connected.failure().message);
    }
    return false;
  }
  m_connected = true;
  publishCamera(true, "connected");
  publishSettings();
  if (rig()) {
    m_rigLiveView.clear();
    if (Status switched = switchRigLiveView(m_wantLiveView); !switched) {
      recover(switched.failure());
    } else {
      m_hub.publish("liveview", {{"on", m_wantLiveView}});
    }
  } else if (Result<bool> on = m_tether->switchLiveView(m_wantLiveView)) {
    m_hub.publish("liveview", {{"on", *on}});
  } else {
    recover(on.failure());
  }
  return m_connected;
}

void CServeSession::unclaimed(const HostMessage& message) {
  const std::string name = message.nameText();
  const auto* table = message.payload && message.payload->type == kZnLuaTable
                          ? static_cast<const ZnLuaTETable*>(message.payload.get())
                          : nullptr;
  // A rig's camera is named by its notifications while more than one is connected.
  const auto named = NumberAt(message.payload.get(), "device_id");
  const std::uint32_t device = named ? static_cast<std::uint32_t>(*named) : 0;
  if (name == "liveViewImage") {
    const ZnLuaTE* image = table ? table->getValue("image") : nullptr;
    if (image && image->type == kZnLuaData) {
      const auto* data = static_cast<const ZnLuaTEData*>(image);
      m_hub.setFrame(std::string(reinterpret_cast<const char*>(data->bytes()),
                                 static_cast<std::size_t>(data->size())),
                     rig() && device == 0 ? firstCamera() : device);
    }
  } else if (name == "cameraSettingsChanged" && rig()) {
    const std::uint32_t changed = device ? device : firstCamera();
    m_rigSettings[changed] = SettingsToJson(message.payload.get());
    if (changed == firstCamera()) m_hub.publish("settings", m_rigSettings[changed]);
    publishRig();
  } else if (name == "cameraSettingsChanged") {
    m_hub.publish("settings", SettingsToJson(message.payload.get()));
  } else if (name == "deviceAdded" && rig() && m_connected) {
    // Under --device all (a rig named without a list), a camera plugged in joins the rig.
    bool known = false;
    for (const CameraInfo& c : m_tether->rigCameras()) known = known || c.deviceId == device;
    if (!known && m_options.device.find(',') == std::string::npos) m_reconnectRig = true;
  }
}

void CServeSession::runCommand(const Step& step) {
  if (rig() &&
      (step.kind == StepKind::Focus || step.kind == StepKind::Af || step.kind == StepKind::Stack)) {
    m_hub.notice(
        "focus, AF and focus stacks drive one camera: lbhost serve does them with one "
        "--device camera");
    return;
  }
  if (step.kind == StepKind::LiveViewSwitch && rig()) {
    m_wantLiveView = step.on;
    if (Status switched = switchRigLiveView(step.on); !switched) return recover(switched.failure());
    m_hub.publish("liveview", {{"on", step.on}});
    return;
  }
  if (step.kind == StepKind::LiveViewSwitch) {
    m_wantLiveView = step.on;
    Result<bool> on = m_tether->switchLiveView(step.on);
    if (!on) return recover(on.failure());
    m_hub.publish("liveview", {{"on", *on}});
    return;
  }
  if (step.kind == StepKind::Capture && step.count == 1 && !rig()) {
    // The release is all a capture holds the camera thread for: lensbridge takes commands
    // while files transfer, and the pump collects them between the page's commands.
    if (Status released = m_tether->release(); !released) return recover(released.failure());
    ++m_capturesOpen;
    m_hub.publish("job", {{"running", false}, {"job", "a capture"}, {"progress", "released"}});
    return;
  }
  // Steps of several shots are jobs, which only "stop" interrupts.
  // A rig's shot is one too: its files are collected as the command line collects them.
  const std::string job = step.kind == StepKind::Stack                        ? "the focus stack"
                          : step.kind == StepKind::Timelapse                  ? "the timelapse"
                          : step.kind == StepKind::Capture && step.count == 1 ? "the rig's shot"
                          : step.kind == StepKind::Capture                    ? "the capture"
                                                                              : "";
  if (!job.empty()) {
    m_job = job;
    m_hub.setBusy(job);
    m_hub.publish("job", {{"running", true}, {"job", job}, {"progress", "starting"}});
  }
  const Status ran = m_tether->run(step);
  const bool ok = static_cast<bool>(ran);
  m_report.forgetSteps();
  if (!job.empty()) {
    const bool stopped = !ok && ran.failure().kind == ErrorKind::Interrupted && !quitting();
    m_hub.publish("job", {{"running", false},
                          {"job", job},
                          {"progress", ok        ? "done"
                                       : stopped ? "stopped"
                                                 : "failed: " + ValidUtf8(ran.failure().message)}});
    m_hub.setBusy("");
    m_job.clear();
    if (stopped) return;
  }
  if (!ok) {
    recover(ran.failure());
    // A rig's cameras that did take the setting show it, beside the one that did not.
    if (rig() && step.kind == StepKind::Set && m_tether && m_connected) publishSettings();
  } else if (step.kind == StepKind::Set || step.kind == StepKind::Af) {
    publishSettings();
  }
}

void CServeSession::recover(const Failure& failure) {
  if (quitting()) return;
  const ErrorKind kind = failure.kind;
  const std::string& error = failure.message;
  if (kind == ErrorKind::Interrupted) {
    m_hub.stopFlag() = false;
    return;
  }
  m_report.progress("serve: " + error);
  m_hub.failPending(error);
  if (m_capturesOpen > 0) {
    m_capturesOpen = 0;
    m_hub.publish(
        "job",
        {{"running", false}, {"job", "a capture"}, {"progress", "failed: " + ValidUtf8(error)}});
  }
  if (kind == ErrorKind::Process) {
    // lensbridge.exe ended or stopped answering: a new one is started by run().
    m_hub.publish("helper", {{"running", false}, {"text", ValidUtf8(error)}});
    dropHelper("lensbridge stopped; starting it again");
    sleepInterruptibly(kRetryMs);
    return;
  }
  if (m_tether->cameraUnplugged() && rig()) {
    // The session keeps its cameras by device id; a fresh one connects the rig as it now is,
    // or waits for the cameras --device names.
    dropHelper("a camera of the rig was unplugged or switched off; connecting the rig again");
    return;
  }
  if (m_tether->cameraUnplugged()) {
    m_hub.publish("liveview", {{"on", false}});
    publishCamera(false, "the camera was unplugged or switched off; waiting for it to come back");
    if (Status back = m_tether->reconnectCamera(); !back) {
      if (!quitting()) recover(back.failure());
      return;
    }
    publishCamera(true, "connected again");
    publishSettings();
    if (Result<bool> on = m_tether->switchLiveView(m_wantLiveView))
      m_hub.publish("liveview", {{"on", *on}});
    return;
  }
  // The camera refused or failed one thing (a setting it does not take, a shot that did not
  // download): the page says so, and the session goes on.
  m_hub.notice(error);
}

void CServeSession::dropHelper(const std::string& why) {
  m_hub.publish("liveview", {{"on", false}});
  publishCamera(false, why);
  (void)m_tether->shutdown();
  m_ledger->store(nullptr);
  m_tether.reset();
  m_connected = false;
  m_reconnectRig = false;
}

int CServeSession::run() {
  while (!quitting()) {
    if (m_reconnectRig && !m_tether->shotOpen()) {
      m_hub.failPending("the rig was connected again");
      dropHelper("the rig's cameras changed; connecting the rig again");
      continue;
    }
    if (!m_tether && !startHelper()) {
      if (m_startFailure) {
        m_report.fail(1, m_startFailure->kind, m_startFailure->message);
        return 1;
      }
      sleepInterruptibly(kRetryMs);
      continue;
    }
    if (!m_connected && !connectCamera()) {
      sleepInterruptibly(kRetryMs);
      continue;
    }
    if (std::optional<Step> step = m_hub.takeCommand()) {
      runCommand(*step);
    } else if (Status pumped = m_tether->pump(kPumpMs); !pumped) {
      recover(pumped.failure());
    }
  }
  // Ctrl+C starts no new shot, but the files of one in transfer land first.
  while (m_tether && m_tether->shotOpen() && m_tether->pump(kPumpMs)) {
  }
  m_hub.publish("helper", {{"running", false}, {"text", "lbhost serve has ended"}});
  if (!m_tether) return 0;
  for (Status ending : {m_tether->finishHooks(), m_tether->shutdown()}) {
    if (!ending) m_report.fail(1, ending.failure().kind, ending.failure().message);
  }
  return 0;
}

}  // namespace

int RunServe(const LbhostOptions& options, const Step& step, CRunReport& report,
             const std::atomic<bool>& interrupted, std::atomic<const CFileLedger*>* ledger) {
  const std::string token = MakeServeToken();
  if (token.empty())
    return report.finish(1, ErrorKind::Serve,
                         "no random token could be made for the page's address");
  const CServeAccess access(step.listenHost, step.listenPort, token, MachineName());
  CServeServer* server = nullptr;  // set before anything can publish
  CServeHub hub([&server] {
    if (server) server->wake();
  });
  CServeServer web(hub, access);
  std::string error;
  if (!web.listen(step.listenHost, step.listenPort, &error))
    return report.finish(1, ErrorKind::Serve, error);
  server = &web;
  web.start(&interrupted);
  // The address is printed once lensbridge.exe runs, so a start that fails prints no
  // address that leads nowhere.
  auto announce = [&] {
    if (ListensEverywhere(step.listenHost)) {
      report.line("open " + access.pageAddress("127.0.0.1") + " on this computer");
      const std::vector<std::string> addresses = LocalIpv4Addresses();
      for (const auto& address : addresses)
        report.line("open " + access.pageAddress(address) + " from a phone");
      if (addresses.empty()) {
        report.line("open " + access.pageAddress("ADDRESS") +
                    " from a phone, with this computer's address on the network for ADDRESS "
                    "(ipconfig shows it)");
      }
      report.line("anyone who has the whole address can use the camera until lbhost serve ends");
    } else {
      report.line("open " + access.pageAddress(step.listenHost));
    }
    report.line("Ctrl+C ends lbhost serve");
    std::fflush(stdout);
  };
  int code = 0;
  {
    CServeSession session(options, report, interrupted, ledger, hub, announce);
    code = session.run();
  }
  web.stop();
  server = nullptr;
  return report.finish(code, ErrorKind::Serve, "");
}
