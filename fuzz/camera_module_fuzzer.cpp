// libFuzzer target: whole sessions against the simulated camera module with the input between
// it and the process (bent_module.h), driven as the process drives the camera side: the host's
// requests through a camera worker of its own (a fresh one for each input), which also runs the
// heartbeat, on a clock the input moves (the simulator's too), so no input waits for real time.
//
// Input (camera_module_script.h): a session script, in the words of tests/session_actions.h and
// a few of the fuzzer's own, then the answer bytes. A session ends calm (no answer bent, every
// habit and fault off), settles and shuts down; then each rule is an assertion of its own:
//   - the rules of every message stream and of the captures (tests/capture_ledger.h), and
//     "listDevices" always gets its answer;
//   - a file reported whole holds exactly the bytes the module's blocks gave, every byte
//     covered, at a length the module said; nothing else, no ".part", is left in the folder;
//   - no call reaches the module with a record it already closed, and every record is closed;
//   - the session's work ends within a bounded number of steps.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge/camera_worker.h"
#include "bridge/notifications.h"
#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "camera/download/download_directory.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "fuzz/bent_module.h"
#include "fuzz/camera_module_script.h"
#include "hostlink/outgoing_queue.h"
#include "platform/platform.h"
#include "platform/trace.h"
#include "sim/sim_habits.h"
#include "tests/capture_ledger.h"
#include "tests/session_actions.h"
#include "values/lua_value.h"

namespace {

namespace fs = std::filesystem;

fs::path g_downloads, g_scenario;
CHostNotifications g_hostNotifications;
std::uint32_t g_nowMs = 0;
std::uint32_t FakeClock() { return g_nowMs; }

// The simulated cameras: small files, so a session takes many shots in little time; a slow
// link that needs a few turns per file. Camera 3 comes only when the script plugs it.
constexpr char kScenario[] =
    "camera 1 raw-bytes=9000 photo-width=32 rate=1\n"
    "camera 2 raw-bytes=1500 photo-width=16 rate=1 name=Z 9\n"
    "camera 3 raw-bytes=5000 photo-width=24 rate=1 plugged=0\n";

// Steps a calm session may take to settle; its longest bound (a release's two minutes plus an
// exposure) passes well within them at a heartbeat each.
constexpr int kSettleSteps = 4000;

[[noreturn]] void Finding(const char* rule, const std::string& detail) {
  std::fprintf(stderr, "camera_module_fuzzer: %s: %s\n", rule, detail.c_str());
  std::abort();
}
void Check(bool holds, const char* rule, const std::string& detail = "") {
  if (!holds) Finding(rule, detail);
}

// One host session: its camera worker, and what the host was told, checked message by message
// and, at the end, each file reported whole against the blocks the module gave.
class CSession : public CCameraWorkerDelegate {
 public:
  explicit CSession(std::uint32_t moduleIndex) : m_moduleIndex(moduleIndex) {}

  void wakeCameraThread() override {}
  void endHostSession(std::uint32_t) override { m_sessionEnded = true; }

  // The process answers "listDevices" whatever the cameras do.
  void post(const session::Request& request) {
    const std::uint32_t id = ++m_lastRequestId;
    m_ledger.sent(id, request.name, request.name == "listDevices");
    const ZnLuaTEString name(request.name.c_str());
    m_worker.post(id, &name, request.payload().get());
    cameraTurn();
  }
  void take() {
    while (std::unique_ptr<OutgoingMessage> message = TakeOutgoingMessage()) {
      m_ledger.see(message->requestId, message->name ? message->name->getString() : "",
                   message->value.get());
    }
  }
  // One turn of the camera thread, then the time it may wait passes: at most a heartbeat, at
  // least `minimumMs`, so that long bounds pass in few turns where nothing is delivered.
  void cameraTurn(std::uint32_t minimumMs = 1) {
    const unsigned waitMs = m_worker.runTurn();
    take();
    g_nowMs += waitMs == 0 ? 1 : std::max(std::min(waitMs, kHeartbeatPeriodMs), minimumMs);
    bentmodule::Control("clock " + std::to_string(g_nowMs));
  }
  // One action of the script, with its operands (camera_module_script.h).
  void act(fuzzscript::CBytes& script) {
    using session::Sim;
    const unsigned code = script.byte() % fuzzscript::kActionCount;
    if (code < session::kAskCount) {
      const auto ask = static_cast<session::Ask>(code);
      const std::uint32_t device = TakesDevice(ask) ? m_moduleIndex | script.byte() % 4 : 0;
      const unsigned key = ask == session::Ask::ChangeSetting ? script.byte() : 0;
      const int value = TakesValue(ask) ? static_cast<std::int8_t>(script.byte()) : 0;
      return post(MakeRequest(ask, device, value, key));
    }
    if (code >= fuzzscript::kCameraTurn && code <= fuzzscript::kCameraTurn3) return cameraTurn();
    const std::uint8_t operand = script.byte();
    if (code < fuzzscript::kCameraTurn) {
      const auto line = static_cast<Sim>(code - session::kAskCount);
      const unsigned camera = 1 + (operand >> 6) % 3;
      if (line == Sim::Plug) m_plugged.insert(m_moduleIndex | camera);
      if (line == Sim::Unplug) m_plugged.erase(m_moduleIndex | camera);
      const unsigned scale = line == Sim::Exposure ? 100 : line == Sim::StoredBytes ? 64 : 1;
      bentmodule::Control(ControlLine(line, operand * scale, camera));
    } else if (code == fuzzscript::kTimePasses) {
      // Time passes with the camera thread at work: up to 25 s, in its own turns.
      const std::uint32_t until = g_nowMs + operand * 100u;
      for (int turns = 0; turns < 300 && static_cast<std::int32_t>(until - g_nowMs) > 0; ++turns)
        cameraTurn();
    } else if (code == fuzzscript::kTwist) {
      bentmodule::Twist(fuzzscript::kTwistable[operand % std::size(fuzzscript::kTwistable)],
                        operand & 0x80);
    } else {  // kEvent
      // An event of any kind with any data: an item that does not exist, a capability change
      // of anything, a removal of something never added.
      static const maid::ULONG kEvents[] = {
          kNkMAIDEvent_AddChild,         kNkMAIDEvent_RemoveChild,
          kNkMAIDEvent_CapChange,        kNkMAIDEvent_CapChangeValueOnly,
          kNkMAIDEvent_OrphanedChildren, kNkMAIDEvent_CaptureComplete};
      bentmodule::QueueEvent(kEvents[operand % 6], script.byte() | std::uint32_t{operand} << 8);
    }
  }
  // Calm: a tidy module from now on; the session's work must come to rest, and after a few
  // seconds of heartbeats the host's cameras be the module's plugged ones (none if it refused).
  void settle() {
    bentmodule::Calm();
    bentmodule::Control(ControlLine(session::Sim::Clear, 0));
    bentmodule::Control(ControlLine(session::Sim::Exposure, 0));
    for (unsigned habit = 0; habit < static_cast<unsigned>(lbsim::Habit::Count); ++habit)
      bentmodule::Control(ControlLine(session::Sim::HabitOff, habit));
    const std::uint32_t calmSince = g_nowMs;
    for (int steps = 0;; ++steps) {
      Check(steps < kSettleSteps, "the camera side never came to rest");
      m_worker.runTurn();
      take();
      if (!m_worker.busy() && g_nowMs - calmSince > 3000) break;
      cameraTurn(kHeartbeatPeriodMs);
    }
    m_ledger.checkDevices(bentmodule::ModuleOpen() ? m_plugged : std::set<std::uint32_t>{});
  }

  void shutDown() {
    post({"shutdown", {}, {}});
    for (int steps = 0; !m_sessionEnded; ++steps) {
      Check(steps < kSettleSteps, "shutdown never ended");
      cameraTurn(kHeartbeatPeriodMs);
    }
  }

  // After shutdown, the session having run to its end.
  void checkEnd() { m_ledger.checkEnd(true); }

 private:
  // A file the module gave, byte for byte, every byte delivered, at a length it gave for it.
  static bool Given(const std::vector<unsigned char>& bytes, const std::string&) {
    for (const bentmodule::File& file : bentmodule::Files()) {
      if (file.claimedTotals.count(static_cast<std::uint32_t>(bytes.size())) == 0) continue;
      std::size_t i = 0;
      while (i < bytes.size() && i < file.bytes.size() && file.given[i] &&
             bytes[i] == file.bytes[i])
        ++i;
      if (i == bytes.size()) return true;
    }
    return false;
  }

  std::uint32_t m_moduleIndex;
  std::uint32_t m_lastRequestId = 0;
  CCaptureLedger m_ledger{
      [](const char* rule, const std::string& detail) { Finding(rule, detail); }, g_downloads,
      Given};
  CCameraWorker m_worker{*this};
  bool m_sessionEnded = false;
  // The devices plugged in: as the scenario starts, then as the script plugs.
  std::set<std::uint32_t> m_plugged{m_moduleIndex | 1, m_moduleIndex | 2};
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Traces are silent unless LB_FUZZ_TRACE is set (to read what a finding did).
  SetTraceSink(std::getenv("LB_FUZZ_TRACE")
                   ? +[](const char* text) { std::fprintf(stderr, "%s\n", text); }
                   : +[](const char*) {});
  g_downloads = fs::temp_directory_path() / ("lb_camera_module_fuzz_" + std::to_string(getpid()));
  fs::create_directories(g_downloads);
  g_scenario = g_downloads.string() + ".scenario";
  std::ofstream(g_scenario) << kScenario;
  setenv("LBSIM_SCENARIO", g_scenario.c_str(), 1);
  // libFuzzer ends with exit(), so the folder goes with the process (a crash leaves it to read).
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(g_downloads, ignored);
    fs::remove(g_scenario, ignored);
  });
  SetCameraHost(&g_hostNotifications);
  SetCameraClockForTest(&FakeClock);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = fuzzscript::kHeaderSize;
  if (size < kHeader) return -1;
  const std::uint8_t setup = data[0];
  const std::size_t scriptSize = std::min(data[1] | std::size_t{data[2]} << 8, size - kHeader);
  fuzzscript::CBytes script(data + kHeader, scriptSize);
  // Type0023 cameras switch live view on with another value and send a larger header.
  const unsigned ordinal = setup & 1 ? 23 : 1;
  const std::string moduleType = setup & 1 ? "Type0023" : "Type0001";
  // The simulated modules are built beside the fuzzer's own folder.
  if (!bentmodule::Start(platform::executableDirectory() + "../" + moduleType + ".md3",
                         data + kHeader + scriptSize, size - kHeader - scriptSize))
    Finding("set-up", "cannot load the simulated " + moduleType);
  bentmodule::Control(ControlLine(session::Sim::Format, setup >> 1));

  g_nowMs = 1000;
  bentmodule::Control("clock 1000");
  DiscardOutgoingMessages();
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::getInstance();
    g_downloadDirectory = g_downloads.string() + "/";
    try {
      manager->m_modules.push_back(
          std::make_unique<CNikonModule>(&bentmodule::EntryPoint, ordinal));
    } catch (int) {
      // The module refused to open: the process goes on without it.
    }
  }

  CSession session(ordinal << 8);
  for (int actions = 1; !script.done() && actions < 400; ++actions) session.act(script);
  session.settle();
  session.shutDown();
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager::DestroyInstance();
  }
  session.take();

  Check(bentmodule::CallsAfterClose() == 0, "a call reached the module with a closed record",
        std::to_string(bentmodule::CallsAfterClose()));
  Check(bentmodule::OpenRecords() == 0, "records left open after the session",
        std::to_string(bentmodule::OpenRecords()));
  session.checkEnd();

  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(g_downloads, ignored))
    fs::remove(entry.path(), ignored);
  return 0;
}
