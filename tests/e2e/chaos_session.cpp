// A whole-session chaos run: lensbridge.exe on simulated cameras, driven through its pipes by
// random sessions in the words of tests/session_actions.h, each checked from outside:
//   - the rules of every message stream and of the captures (tests/capture_ledger.h); once
//     the chaos stopped, "listDevices" too lists the cameras plugged in;
//   - the requests always answered are; the process never stops answering nor ends on its own,
//     and ends with "shutdownComplete" and exit code 0 when asked, every announced file ended;
//   - a file reported complete holds exactly the bytes the simulated camera made; after the
//     process ended, the download folder holds those files and nothing else (no ".part");
//   - no call reached the simulator with a record the process had closed, while another of
//     its threads was inside the module, or from off the module's own thread; every live-view
//     frame is a JPEG of the size it says.
// One session in five ends with the host closing its pipes: the process must end by itself,
// leaving no ".part", a whole file it was not told of holding the camera's bytes. In one in
// four another program (file_holder.exe, as a virus scanner) holds each new ".part" file open
// a while: a whole file still takes its name, a failed one still goes, before the process ends.
//
// Usage: chaos_session.exe [-v] SEED...   A seed draws its session (a std::mt19937) before the
// process starts, and replays it as far as the process's timing allows. Prints "seed N: ok" or
// what broke with the plan and messages (-v: for every seed); exits 1 when any seed broke.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/capture_ledger.h"
#include "tests/session_actions.h"
#include "lbhost/client/child_process.h"
#include "lbhost/vocabulary/value_printer.h"

namespace {

using Clock = std::chrono::steady_clock;

// A request is handled within this long even on a loaded machine: the host link never waits
// for a camera, so a barrier that takes longer means the process stopped answering.
constexpr unsigned kAnswerBoundMs = 15000;
// "shutdown" lets the transfers under way finish for up to a minute before it answers.
constexpr unsigned kShutdownBoundMs = 75000;
// After the chaos: how long the announced files may take to end, and how long nothing new
// must come before the cameras are compared (the heartbeat's rescans run every 100 ms).
constexpr unsigned kSettleBoundMs = 30000;
constexpr unsigned kQuietMs = 1500;

// Habits after which no picture comes, or the camera is not taken on: common enough in a
// session they spoil, so drawn less often.
bool Harsh(lbsim::Habit habit) {
  using H = lbsim::Habit;
  return habit == H::RefusedStart || habit == H::RefusedStartLate || habit == H::OutOfFocus ||
         habit == H::AliveFalse || habit == H::BusyWhileTransferring;
}

struct SimCamera {
  std::uint32_t id = 1;
  // The module's place in the list: 1 for Type0001, 23 for Type0023; 0 for a camera that both
  // modules have (as two cameras of one id under two modules).
  unsigned ordinal = 1;
  std::uint32_t rawBytes = 0;  // distinct per camera, so a RAW file's size tells its camera
  std::string setup;           // the rest of its scenario line
  std::vector<std::uint32_t> deviceIds() const {
    if (ordinal != 0) return {ordinal << 8 | id};
    return {1u << 8 | id, 23u << 8 | id};
  }
};

enum class Kind { Request, Control, Pause, Barrier };

struct Action {
  Kind kind = Kind::Pause;
  session::Request request;  // a request, or the control line as its name
  unsigned ms = 0;           // a pause's length
};

struct Plan {
  std::vector<SimCamera> cameras;
  std::vector<Action> actions;
  std::set<std::uint32_t> pluggedAtEnd;  // device ids, as the scenario and control lines leave them
  bool hostLeaves = false;               // the session ends with the host closing its pipes
  unsigned holdMs = 0;  // how long another program holds each new ".part" file; 0: none
  std::string scenario;
};

std::string Describe(const Action& action) {
  if (action.kind == Kind::Pause) return "pause " + std::to_string(action.ms) + " ms";
  if (action.kind == Kind::Barrier) return "listDevices, waiting for its answer";
  if (action.kind == Kind::Control) return "control: " + action.request.name;
  std::string text = "-> " + action.request.name;
  for (const auto& [field, value] : action.request.numbers)
    text += " " + field + "=" + std::to_string(static_cast<long long>(value));
  if (!action.request.paramKey.empty()) text += " param_key=" + action.request.paramKey;
  return text;
}

// Draws a whole session from the seed, nothing of it from what the process answers; one draw
// after another (never two among a call's arguments), so whatever the compiler.
Plan MakePlan(std::uint32_t seed) {
  using session::Ask;
  using session::Sim;
  std::mt19937 rng(seed);
  auto pick = [&](std::size_t n) { return static_cast<unsigned>(rng() % n); };
  auto chance = [&](unsigned percent) { return rng() % 100 < percent; };
  Plan plan;

  const std::size_t cameraCount = 1 + pick(3);
  for (std::uint32_t id = 1; id <= cameraCount; ++id) {
    SimCamera camera;
    camera.id = id;
    const unsigned where = pick(100);
    camera.ordinal = where < 55 ? 1 : where < 85 ? 23 : 0;
    camera.setup = std::string(" format=") + session::kFormats[pick(3)];
    camera.rawBytes = 40000 + pick(900000) * 4 + id;
    const bool plugged = chance(85);
    camera.setup += " raw-bytes=" + std::to_string(camera.rawBytes) + " plugged=" + "01"[plugged];
    std::string habits;
    for (std::size_t count = pick(5); count > 0; --count) {
      const lbsim::Habit habit = session::AnyHabit(rng());
      if (!Harsh(habit) || chance(25))
        habits += (habits.empty() ? "" : ",") + std::string(HabitName(habit));
    }
    if (!habits.empty()) camera.setup += " habits=" + habits;
    if (chance(15)) camera.setup += " exposure-ms=" + std::to_string(100 + pick(900));
    camera.setup += " name=D850 No " + std::to_string(id) + "\n";
    for (std::uint32_t device : camera.deviceIds())
      if (plugged) plan.pluggedAtEnd.insert(device);
    plan.cameras.push_back(camera);
  }
  for (unsigned ordinal : {0u, 1u, 23u}) {
    if (ordinal != 0)
      plan.scenario += std::string("module ") + (ordinal == 1 ? "Type0001" : "Type0023") + "\n";
    for (const SimCamera& c : plan.cameras)
      if (c.ordinal == ordinal)
        plan.scenario += "camera " + std::to_string(c.id) + " type=" + (c.id == 2 ? "44" : "43") +
                         " exposure=" + std::to_string(pick(4)) + c.setup;
  }
  // The devices plugged in, as the control lines so far leave them.
  std::set<std::uint32_t>& plugged = plan.pluggedAtEnd;

  auto add = [&](Kind kind, session::Request request = {}, unsigned ms = 0) {
    plan.actions.push_back({kind, std::move(request), ms});
  };
  auto request = [&](Ask ask, std::uint32_t device = 0, double value = 0, unsigned key = 0) {
    add(Kind::Request, MakeRequest(ask, device, value, key));
  };
  auto control = [&](Sim line, std::uint32_t value, unsigned camera) {
    add(Kind::Control, {ControlLine(line, value, camera), {}, {}});
  };
  auto anyCamera = [&]() -> const SimCamera& { return plan.cameras[pick(plan.cameras.size())]; };
  // A camera to connect: mostly one plugged in, as a host picks one from its listing; now
  // and then any, or one the module does not have.
  auto deviceOf = [&](const SimCamera& c) { return c.deviceIds()[pick(c.deviceIds().size())]; };
  auto cameraToConnect = [&]() -> std::uint32_t {
    const unsigned roll = pick(100);
    if (roll < 5) return (chance(50) ? 1u : 23u) << 8 | 9;
    if (roll < 20 || plugged.empty()) return deviceOf(anyCamera());
    return *std::next(plugged.begin(), pick(plugged.size()));
  };
  // The device the host means: mostly the one it connected last, as a host does.
  std::uint32_t connected = plan.cameras.front().deviceIds().front();
  // One step of the session, drawn by `roll` (of 100).
  auto step = [&](unsigned roll) {
    if (roll < 20) return request(Ask::Capture);
    if (roll < 22) return request(Ask::ListDevices);
    if (roll < 29) return request(Ask::Connect, connected = cameraToConnect());
    if (roll < 31) return request(Ask::Disconnect, connected);
    if (roll < 35) return request(Ask::GetSettings, connected);
    if (roll < 40) {
      const double value = chance(95) ? pick(12) : -1.0;
      return request(Ask::ChangeSetting, connected, value, pick(4));  // not the bogus key
    }
    if (roll < 45) return request(Ask::ToggleLiveView);
    if (roll < 48) return request(Ask::IsLiveViewOn);
    if (roll < 50) return request(Ask::Focus, 0, static_cast<double>(pick(7)) - 3);
    if (roll < 52) return request(Ask::AutoFocus);
    if (roll < 60) {
      const unsigned camera = anyCamera().id, habit = rng();
      const bool toCamera = chance(70), on = chance(Harsh(session::AnyHabit(habit)) ? 40 : 70);
      return control(on ? Sim::HabitOn : Sim::HabitOff, habit, toCamera ? camera : 0);
    }
    if (roll < 67) {
      // A fault, or every fault cleared.
      static const Sim kMore[] = {Sim::OpenRefused, Sim::NotAlive, Sim::StoredBytes, Sim::Clear};
      const unsigned camera = anyCamera().id;
      const unsigned faults = std::size(session::kFaults), which = pick(faults + 4);
      const Sim line = which < faults ? Sim::Fault : kMore[which - faults];
      return control(line, line == Sim::StoredBytes ? pick(3000000) : which, camera);
    }
    if (roll < 73) {
      const SimCamera& c = anyCamera();
      const bool plug = chance(55);
      control(plug ? Sim::Plug : Sim::Unplug, 0, c.id);
      for (std::uint32_t device : c.deviceIds()) {
        if (plug) plugged.insert(device);
        if (!plug) plugged.erase(device);
      }
      if (!plug || !chance(40)) return;
      // A host connects the camera it was just told of, once a rescan has found it.
      add(Kind::Pause, {}, 300);
      return request(Ask::Connect, connected = deviceOf(c));
    }
    if (roll < 75) {
      const unsigned camera = chance(50) ? anyCamera().id : 0;
      return control(Sim::Format, pick(3), camera);
    }
    if (roll < 80) {
      const unsigned camera = anyCamera().id;
      if (roll < 78) return control(Sim::Shoot, 0, camera);
      if (roll < 79) return control(Sim::Exposure, chance(50) ? 0 : 100 + pick(900), camera);
      return control(Sim::Rate, 2 + pick(20), camera);
    }
    if (roll < 83) return request(Ask::Join, cameraToConnect());  // a rig: one more camera
    if (roll < 86) return request(Ask::RigCapture);
    if (roll < 96) return add(Kind::Pause, {}, 50 + pick(600));
    add(Kind::Barrier);
  };

  // A host lists the cameras first; the answer also shows the modules are open, so the
  // control lines that follow are read by them and not skipped as written before.
  add(Kind::Barrier);
  if (chance(90)) request(Ask::Connect, connected = cameraToConnect());
  for (std::size_t steps = 25 + pick(20); steps > 0; --steps) step(pick(100));
  plan.hostLeaves = chance(20);
  // Drawn last, so that the sessions drawn before held files came in stay as they were.
  if (chance(25)) plan.holdMs = 100 + pick(2500);
  return plan;
}

struct LoggedMessage : HostMessage {
  unsigned atMs = 0;  // since the session started
};

class ChaosSession {
 public:
  // `verbose` prints the session's plan and messages even when nothing broke.
  ChaosSession(std::uint32_t seed, const Plan& plan, bool verbose)
      : m_seed(seed), m_plan(plan), m_verbose(verbose) {}

  // Runs the session and checks it; true when nothing broke.
  bool run() {
    m_start = Clock::now();
    if (!startProcess()) return report();
    bool alive = true;
    for (std::size_t i = 0; i < m_plan.actions.size() && alive; ++i) alive = perform(i);
    if (alive && m_plan.hostLeaves) {
      // It closes its pipes without "shutdown", as a host that crashed: the process notices
      // within a second, closes the cameras and ends.
      drain();
      client().closePipes();
      expectCleanExit("its host left");
      m_hostLeft = true;
    }
    if (alive && !m_plan.hostLeaves && settle()) shutDown();
    m_holder.terminate();
    if (client().undecodableCount() != 0)
      broke(std::to_string(client().undecodableCount()) +
            " messages from the process did not decode");
    if (m_shutDown || m_hostLeft) m_ledger.checkEnd(m_shutDown);
    checkCallerFaults();
    return report();
  }

 private:
  unsigned nowMs() const {
    return static_cast<unsigned>((Clock::now() - m_start) / std::chrono::milliseconds(1));
  }
  // Notes what broke; false, for the step that gives up on it.
  bool broke(const std::string& what) {
    m_broken.push_back(what);
    return false;
  }
  CHostClient& client() { return m_session.client(); }

  bool startProcess() {
    if (!m_downloads.valid() || !m_world.valid())
      return broke("harness: cannot create the session's folders");
    std::ofstream(m_world.file("cameras.scenario"), std::ios::trunc) << m_plan.scenario;
    std::ofstream(m_control, std::ios::trunc);
    client().process().sendOutputTo(m_world.file("stdout.txt"), m_world.file("stderr.txt"));
    std::string error;
    if (m_plan.holdMs != 0) {
      m_holder.sendOutputTo(m_world.file("holder.txt"), m_world.file("holder-errors.txt"));
      // It holds the files already there too, so the process need not wait for it.
      if (!m_holder.start(BuiltProgram("file_holder.exe"),
                          {m_downloads.path(), ".part", std::to_string(m_plan.holdMs), "600000"},
                          {}, &error))
        return broke("harness: file_holder.exe did not start: " + error);
    }
    if (!m_session.start(
            BuiltProgram("lensbridge.exe"), kAnswerBoundMs, &error,
            m_downloads.environment({{"LBSIM_SCENARIO", m_world.file("cameras.scenario")},
                                     {"LBSIM_CONTROL", m_control},
                                     {"LBSIM_CALLER_FAULTS_LOG", m_callerFaults}})))
      return broke("the process did not start: " + error);
    return true;
  }

  // Moves what arrived into the log, in the order it arrived. Live-view frames are counted
  // instead, each a JPEG (the camera's header cut off) as long as its "size" says.
  void drain(std::vector<HostMessage> messages) {
    const unsigned at = nowMs();
    for (HostMessage& m : messages) {
      if (m.requestId != 0 || m.nameText() != "liveViewImage") {
        m_ledger.see(m.requestId, m.nameText(), m.payload.get());
        m_log.push_back({std::move(m), at});
        continue;
      }
      const auto* table = dynamic_cast<const ZnLuaTETable*>(m.payload.get());
      const auto* image =
          table ? dynamic_cast<const ZnLuaTEData*>(table->getValue("image")) : nullptr;
      const bool jpeg = image && IsJpeg(image->bytes(), image->size()) &&
                        NumberIn(m, "size") == static_cast<double>(image->size());
      if (!jpeg && m_badFrames++ == 0)
        broke("a live-view frame at " + std::to_string(at) +
              " ms is no JPEG of its size: " + Format(m));
      ++m_frames;
    }
  }
  void drain() { drain(client().takeReceived()); }

  // False once the process has ended or closed its pipe without being asked to.
  bool stillThere() {
    if (client().process().running() && !client().outputBroken()) return true;
    const auto code = client().process().waitForExit(2000);
    return broke(code ? "the process ended on its own during the session, exit code " +
                            std::to_string(*code)
                      : "the process closed its pipe during the session");
  }

  std::uint32_t send(const session::Request& request, std::size_t index) {
    const std::uint32_t id = client().send(request.name, request.payload().get());
    if (id == 0) return broke("could not send \"" + request.name + "\": the input pipe is closed");
    m_requestOfAction.emplace(index, id);
    m_ledger.sent(id, request.name, answerRequired(request.name));
    return id;
  }

  // Which requests the process answers whatever the cameras do (bridge/camera_commands.h): the
  // listing, "shutdown", the settings of a device on a module that exists (every device id of
  // the plan), a rig's shot, and "isLiveViewOn" once a "connectDevice" made a module current.
  bool answerRequired(const std::string& name) {
    m_moduleCurrent = m_moduleCurrent || name == "connectDevice";
    return name == "listDevices" || name == "shutdown" || name == "getCameraSettings" ||
           name == "updateCameraSetting" || name == "doRigCapture" ||
           (name == "isLiveViewOn" && m_moduleCurrent);
  }

  // Sends `name` and collects until it is answered; its id, or 0 (and broken) when the answer
  // does not come within `boundMs`.
  std::uint32_t sendAndWait(const std::string& name, std::size_t index, unsigned boundMs) {
    const std::uint32_t id = send({name, {}, {}}, index);
    if (id == 0) return 0;
    for (const unsigned sentAt = nowMs(); nowMs() - sentAt < boundMs;) {
      drain(client().collectFor(20));
      if (m_ledger.answered(id)) return id;
      if (!client().process().running() || client().outputBroken()) {
        drain();
        return m_ledger.answered(id) || stillThere() ? id : 0;
      }
    }
    broke("no answer to #" + std::to_string(id) + " " + name + " within " +
          std::to_string(boundMs) + " ms: the process stopped answering");
    return 0;
  }

  bool perform(std::size_t index) {
    const Action& action = m_plan.actions[index];
    m_actionAtMs.push_back(nowMs());
    if (action.kind == Kind::Request && send(action.request, index) == 0) return false;
    if (action.kind == Kind::Control) control(action.request.name);
    if (action.kind == Kind::Pause) drain(client().collectFor(action.ms));
    if (action.kind == Kind::Barrier && sendAndWait("listDevices", index, kAnswerBoundMs) == 0)
      return false;
    drain();
    return stillThere();
  }

  void control(const std::string& line) { std::ofstream(m_control, std::ios::app) << line << "\n"; }

  // The calm after the chaos: faults cleared, no camera claiming to be dead; once the announced
  // files ended and the heartbeat had its ticks, the cameras reported are the ones plugged in.
  bool settle() {
    control(ControlLine(session::Sim::Clear, 0));
    control(ControlLine(session::Sim::HabitOff, static_cast<unsigned>(lbsim::Habit::AliveFalse)));
    m_calmAtMs = nowMs();
    unsigned lastNewsMs = m_calmAtMs;
    while (nowMs() - lastNewsMs < kQuietMs || !m_ledger.openCaptures().empty()) {
      const std::size_t seen = m_log.size();
      drain(client().collectFor(50));
      if (!stillThere()) return false;
      if (m_log.size() != seen) lastNewsMs = nowMs();
      if (nowMs() - m_calmAtMs > kSettleBoundMs) {
        if (!m_ledger.openCaptures().empty())
          broke("files still without their outcome " + std::to_string(kSettleBoundMs) +
                " ms after the chaos stopped: capture ids " + IdList(m_ledger.openCaptures()));
        break;
      }
    }
    const std::uint32_t listing = sendAndWait("listDevices", m_plan.actions.size(), kAnswerBoundMs);
    if (listing == 0) return false;
    m_ledger.checkDevices(m_plan.pluggedAtEnd);
    static const ZnLuaTETable kNone;
    std::set<std::uint32_t> listed;  // an entry without its id as device 0
    for (const auto& l : m_log) {
      const auto* table = dynamic_cast<const ZnLuaTETable*>(l.payload.get());
      const ZnLuaTETable* devices =
          table && l.requestId == listing ? table->getTable("devices") : nullptr;
      for (const auto& entry : devices ? *devices : kNone)
        listed.insert(static_cast<std::uint32_t>(std::max(0.0, Number(entry.second, "device_id"))));
    }
    if (listed != m_plan.pluggedAtEnd)
      broke("after the chaos \"listDevices\" lists " + IdList(listed) + ", but the simulator has " +
            IdList(m_plan.pluggedAtEnd) + " plugged in");
    return true;
  }

  void shutDown() {
    const std::uint32_t id = sendAndWait("shutdown", m_plan.actions.size(), kShutdownBoundMs);
    if (id == 0) return;
    expectCleanExit("\"shutdownComplete\"");
    drain();
    for (const auto& l : m_log)
      if (l.requestId == id && l.nameText() != "shutdownComplete")
        broke("\"shutdown\" was answered with \"" + l.nameText() + "\"");
    m_shutDown = true;
  }

  // The process must end within 10 s of `event`, with exit code 0.
  void expectCleanExit(const std::string& event) {
    const auto code = client().process().waitForExit(10000);
    if (!code || *code != 0)
      broke((code ? "the process ended with exit code " + std::to_string(*code)
                  : std::string("the process still runs 10 s")) +
            " after " + event);
  }

  // Whether `bytes` are a file one of the simulated cameras made: of the shot the camera's
  // name for it says ("DSC_0007.NEF"), or, a file never announced (its name in the folder,
  // "Capture0001.nef"), of one of the first shots.
  bool madeByACamera(const std::vector<unsigned char>& bytes, const std::string& name) const {
    const bool named = name.size() == 12 && name.compare(0, 4, "DSC_") == 0;
    const auto first = named ? static_cast<std::uint32_t>(std::atoi(name.c_str() + 4)) : 1u;
    const bool raw = name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".nef") == 0;
    for (const SimCamera& camera : m_plan.cameras)
      for (std::uint32_t shot = first; shot <= (named ? first : 40); ++shot)
        if ((bytes.size() == camera.rawBytes) == raw &&
            SimCameraMade(bytes, camera.id, shot, camera.rawBytes))
          return true;
    return false;
  }

  void checkCallerFaults() {
    const std::string calls = ReadFile(m_callerFaults),
                      errors = ReadFile(m_world.file("stderr.txt"));
    if (!calls.empty())
      broke("calls a module must not take (module, command; a closed record unless said):\n" +
            calls);
    if (errors.find("lbsim: bad control line") != std::string::npos ||
        errors.find("lbsim: line") != std::string::npos)
      broke("harness: the simulator did not understand a line:\n" + errors);
  }

  static std::string Format(const HostMessage& m) {
    return FormatHostMessage(m.requestId, m.name.get(), m.payload.get());
  }

  bool report() {
    const double seconds = nowMs() / 1000.0;
    if (m_broken.empty() && !m_verbose) {
      std::printf(
          "seed %u: ok (%.1f s, %zu requests, %zu messages, %zu files, %u live-view frames%s%s)\n",
          m_seed, seconds, m_requestOfAction.size(), m_log.size(), m_downloads.files().size(),
          m_frames, m_plan.holdMs ? ", .part files held" : "", m_hostLeft ? ", the host left" : "");
      std::fflush(stdout);
      return true;
    }
    std::printf("seed %u: %s (%.1f s)\n", m_seed, m_broken.empty() ? "ok" : "BROKEN", seconds);
    for (const auto& b : m_broken) std::printf("  broke: %s\n", b.c_str());
    std::printf("  scenario:\n");
    std::istringstream scenario(m_plan.scenario);
    for (std::string line; std::getline(scenario, line);) std::printf("    %s\n", line.c_str());
    // The plan and the messages, merged by time.
    std::printf("  session (ms since start; -> requests as sent, <- messages as received):\n");
    std::size_t m = 0;
    for (std::size_t a = 0; a <= m_actionAtMs.size(); ++a) {
      const unsigned until = a < m_actionAtMs.size() ? m_actionAtMs[a] : ~0u;
      for (; m < m_log.size() && m_log[m].atMs <= until; ++m)
        std::printf("    %6u <- %s\n", m_log[m].atMs, Format(m_log[m]).c_str());
      if (a == m_actionAtMs.size()) break;
      const auto id = m_requestOfAction.find(a);
      const std::string number =
          id != m_requestOfAction.end() ? "#" + std::to_string(id->second) + " " : "";
      std::printf("    %6u %s%s\n", until, number.c_str(), Describe(m_plan.actions[a]).c_str());
    }
    const std::string end = m_plan.hostLeaves ? "the host closed its pipes after the last step"
                                              : "calm from " + std::to_string(m_calmAtMs) + " ms";
    std::printf("  (%s; %u live-view frames not shown)\n", end.c_str(), m_frames);
    if (m_plan.holdMs != 0)
      std::printf("  (another program held each new \".part\" file for %u ms)\n", m_plan.holdMs);
    std::fflush(stdout);
    return m_broken.empty();
  }

  const std::uint32_t m_seed;
  const Plan& m_plan;
  const bool m_verbose;
  Clock::time_point m_start;
  // Declared before the session, which must end before its folders are removed.
  CTestDownloadFolder m_downloads{"chaos-" + std::to_string(m_seed)};
  CTestDownloadFolder m_world{"chaos-world-" + std::to_string(m_seed)};
  CHostSession m_session;
  CChildProcess m_holder;  // holds new ".part" files when the plan says so
  const std::string m_control = m_world.file("camera.control");
  const std::string m_callerFaults = m_world.file("caller-faults.log");
  std::vector<LoggedMessage> m_log;
  std::multimap<std::size_t, std::uint32_t> m_requestOfAction;  // the requests each action sent
  std::vector<unsigned> m_actionAtMs;  // when each action of the plan began
  std::vector<std::string> m_broken;
  unsigned m_frames = 0, m_badFrames = 0;  // only the first bad one is described
  unsigned m_calmAtMs = 0;
  bool m_moduleCurrent = false, m_shutDown = false, m_hostLeft = false;
  CCaptureLedger m_ledger{
      [this](const char* rule, const std::string& detail) {
        broke(std::string(rule) + ": " + detail);
      },
      m_downloads.path(),
      [this](const auto& bytes, const std::string& name) { return madeByACamera(bytes, name); }};
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint32_t> seeds;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    const unsigned long seed = std::strtoul(argv[i], &end, 10);
    verbose = verbose || std::string(argv[i]) == "-v";
    if (*argv[i] && !*end) seeds.push_back(static_cast<std::uint32_t>(seed));
    if (std::string(argv[i]) != "-v" && (!*argv[i] || *end))
      return std::fprintf(stderr, "chaos_session: \"%s\" is not a seed (a number)\n", argv[i]), 2;
  }
  if (seeds.empty()) return std::fprintf(stderr, "usage: chaos_session.exe [-v] SEED...\n"), 2;
  int broken = 0;
  for (std::uint32_t seed : seeds) broken += !ChaosSession(seed, MakePlan(seed), verbose).run();
  std::printf("%zu seeds, %d broke\n", seeds.size(), broken);
  return broken == 0 ? 0 : 1;
}
