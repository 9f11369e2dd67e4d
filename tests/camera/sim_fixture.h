// What the tests that run on the simulated modules share: a fixture that gives each test the
// two-camera scenario, a fresh module manager and an empty outgoing queue, and helpers to
// read the messages the camera side queued. Its includes serve the test files too.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bridge/camera_commands.h"
#include "bridge/camera_worker.h"
#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/download_directory.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "camera/sdk_lock.h"
#include "hostlink/outgoing_queue.h"
#include "platform/platform.h"
#include "sim/sim_scenarios.h"
#include "tests/test_clock.h"
#include "tests/test_support.h"
#include "values/lua_value.h"

namespace simtest {

std::vector<std::unique_ptr<OutgoingMessage>> TakeAll();
std::vector<std::unique_ptr<OutgoingMessage>> TakeNamed(const std::string& name);
const ZnLuaTETable* Payload(const OutgoingMessage& message);
std::unique_ptr<ZnLuaTETable> DeviceParams(double deviceId);
// The number under key in each message, in order.
std::vector<double> Numbers(const std::vector<std::unique_ptr<OutgoingMessage>>& messages,
                            const char* key);
// The pictures of the queued live-view frames, taken (empty for a frame without one).
std::vector<std::vector<unsigned char>> LiveViewImages();
// A path in the temporary folder that no other test process uses at the same time (ctest
// runs the tests of this suite in parallel processes): stem, process id and test name.
std::string PrivateTempPath(const std::string& stem);
// The whole content of a file (empty when it cannot be read), and the names of the files in
// a folder, sorted.
std::vector<unsigned char> ReadBytes(const std::string& path);
std::vector<std::string> FilesIn(const std::filesystem::path& folder);
// Whether `bytes` are the simulated RAW file made from `seed`, every one of them.
bool MatchesRaw(const std::vector<unsigned char>& bytes, std::uint64_t seed);

// While it lives, no file this process writes may grow past `bytes`, as on a full disk: a
// write past it fails (EFBIG) instead of raising SIGXFSZ.
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(rlim_t bytes);
  ~CFileSizeLimit();
  CFileSizeLimit(const CFileSizeLimit&) = delete;
  CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;

 private:
  struct rlimit m_saved {};
  void (*m_previousHandler)(int) = nullptr;
};

// While it lives, another program holds the file open as a virus scanner does: renaming or
// removing it fails (by the platform's POSIX stand-in, a lock on it).
class CHeldFile {
 public:
  explicit CHeldFile(const std::string& path);
  ~CHeldFile();
  CHeldFile(const CHeldFile&) = delete;
  CHeldFile& operator=(const CHeldFile&) = delete;

 private:
  int m_fd;
};

// Runs the cameras' long operations (the release's wait, the downloads) until none is under
// way, as the camera thread does between requests, the test's clock moving on by a poll's
// pause whenever no camera delivers; at most `limitMs` of that clock.
void SettleOperations(CNikonModuleManager* manager, unsigned limitMs = 60000)
    LB_REQUIRES(g_sdkLock);
// A release of `camera` and everything it brings, as far as the camera delivers it.
inline void CaptureAndSettle(CCamera* camera, CNikonModuleManager* manager) LB_REQUIRES(g_sdkLock) {
  camera->capture();
  SettleOperations(manager);
}
// One heartbeat, then the long operations it started (downloads of shots the camera announced
// by itself) until none is under way.
inline void PumpAndSettle(CNikonModuleManager* manager) LB_REQUIRES(g_sdkLock) {
  manager->pumpIdle();
  SettleOperations(manager);
}
// Runs `work`, an entry point that takes the SDK lock itself, with the lock let go meanwhile,
// as the camera thread has it between its turns (and as a module call has it).
template <typename Work>
auto BetweenTurns(Work work) LB_REQUIRES(g_sdkLock) {
  return CallModule(work);
}
// A camera worker as the process runs it, driven by the test's thread: what it asks of the
// process is recorded, and its turns run with the SDK lock let go, as between the camera
// thread's turns.
class CTestWorker : public CCameraWorkerDelegate {
 public:
  explicit CTestWorker(CModuleLane::Mode lanes = CModuleLane::Mode::CameraThread)
      : worker(*this, CameraClockMs, lanes) {}
  void wakeCameraThread() override { ++wakes; }
  void endHostSession(std::uint32_t requestId) override { sessionEnds.push_back(requestId); }
  // One turn; returns its wait.
  unsigned turn() LB_REQUIRES(g_sdkLock) {
    return BetweenTurns([this] { return worker.runTurn(); });
  }
  // Turns, the test's clock moving on by each turn's wait, until the worker has nothing left
  // to do (at most `limitMs` of that clock). False when it still had work at the limit.
  bool runUntilIdle(unsigned limitMs = 60000) LB_REQUIRES(g_sdkLock);

  CCameraWorker worker;
  std::atomic<int> wakes{0};  // from the thread that posts
  std::vector<std::uint32_t> sessionEnds;
};

// Runs one request through a fresh worker, as the camera thread does, until nothing is left to
// do: a command that asks to run again later is run again after its delay, the long operations
// going on meanwhile. True when the request ended the session ("shutdown").
bool DispatchAndSettle(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params)
    LB_REQUIRES(g_sdkLock);
// Sends one control line to the simulator of `moduleFile` ("Type0001.md3" ...).
void SimControl(const char* moduleFile, const std::string& line);
// Where the lens of camera `cameraId` of that simulator stands; -1 when it cannot be read.
double SimLensPosition(const char* moduleFile, unsigned cameraId);

// The test's thread plays the camera thread: it holds the SDK lock from set-up to tear-down
// and lets go of it only where the camera thread does, around the entry points that take it
// themselves (BetweenTurns). A test body that reaches the camera layer says so first with
// onCameraThread(), which the thread-safety analysis takes as the lock held.
// The host's notifications are installed for the test, the outgoing queue empty at both ends.
class HostTest : public ::testing::Test {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock) {
    g_sdkLock.lock();
    SetCameraHost(&hostNotifications);
    DiscardOutgoingMessages();
  }
  void TearDown() override LB_RELEASE(g_sdkLock) {
    SetCameraHost(nullptr);
    DiscardOutgoingMessages();
    g_sdkLock.unlock();
  }
  void onCameraThread() const LB_ASSERT_CAPABILITY(g_sdkLock) {}
  CHostNotifications hostNotifications;
};

// Two cameras (ids 1 and 2) on each of the modules Type0001 and Type0023, both on the test's
// clock (`clock`, from 1000 ms).
class SimFixture : public HostTest {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock);
  void TearDown() override LB_RELEASE(g_sdkLock);
  // The cameras the simulated modules offer, in the scenario file's words.
  virtual std::string scenario() const { return lbsim::kTwoCameraScenario; }

  void listDevices() LB_REQUIRES(g_sdkLock) { HandleListDevices(1, nullptr); }
  CNikonModule* module1() LB_REQUIRES(g_sdkLock) { return manager->findModule(0x100); }
  CNikonModule* module23() LB_REQUIRES(g_sdkLock) { return manager->findModule(0x1700); }

  CNikonModuleManager* manager = nullptr;
  std::string m_scenarioPath;
  std::optional<CTestClock> clock;
};

// The fixture above with a fresh download folder of the test's own, the file numbering started
// afresh, and camera 0x101 connected (`camera`), its connection's messages taken.
class ConnectedCameraTest : public SimFixture {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock);
  void TearDown() override LB_RELEASE(g_sdkLock);

  std::filesystem::path m_folder;
  CCamera* camera = nullptr;
};

}  // namespace simtest
