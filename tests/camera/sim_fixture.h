// What the camera-layer tests share: fixtures on the simulated modules, and helpers that read
// the messages the camera side queued. Its includes serve the test files too.
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
#include "tests/capture_ledger.h"
#include "tests/test_clock.h"
#include "tests/test_support.h"
#include "values/lua_value.h"

namespace simtest {

using Strings = std::vector<std::string>;
using Doubles = std::vector<double>;

std::vector<std::unique_ptr<OutgoingMessage>> TakeAll();
std::vector<std::unique_ptr<OutgoingMessage>> TakeNamed(const std::string& name);
const ZnLuaTETable* Payload(const OutgoingMessage& message);
std::unique_ptr<ZnLuaTETable> DeviceParams(double deviceId);
// The number under key in each message, in order; the names of the messages other than
// settings reports, in order.
std::vector<double> Numbers(const std::vector<std::unique_ptr<OutgoingMessage>>& messages,
                            const char* key);
std::vector<std::string> Names(const std::vector<std::unique_ptr<OutgoingMessage>>& messages);
// The number under key in each queued message of that name, taken.
inline std::vector<double> Taken(const std::string& name, const char* key) {
  return Numbers(TakeNamed(name), key);
}
// A temporary path of this process and test alone (ctest runs tests in parallel processes).
std::string PrivateTempPath(const std::string& stem);

// While it lives, no file may grow past `bytes`, as on a full disk (a write fails with EFBIG).
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

// While it lives, another program holds the file as a virus scanner does: it cannot be
// renamed or removed (the platform's POSIX stand-in for that is a lock).
class CHeldFile {
 public:
  explicit CHeldFile(const std::string& path);
  ~CHeldFile();
  CHeldFile(const CHeldFile&) = delete;
  CHeldFile& operator=(const CHeldFile&) = delete;

 private:
  int m_fd;
};

// Runs the long operations (releases, downloads) until none is under way, as the camera thread
// does, the test's clock moving by a poll's pause when no camera delivers; at most `limitMs`.
void SettleOperations(CNikonModuleManager* manager, unsigned limitMs = 60000)
    LB_REQUIRES(g_sdkLock);
// A release of `camera` and all it brings; a heartbeat and the downloads it started.
inline void CaptureAndSettle(CCamera* camera, CNikonModuleManager* manager) LB_REQUIRES(g_sdkLock) {
  camera->capture();
  SettleOperations(manager);
}
inline void PumpAndSettle(CNikonModuleManager* manager) LB_REQUIRES(g_sdkLock) {
  manager->pumpIdle();
  SettleOperations(manager);
}
// Runs `work`, which takes the SDK lock itself, with the lock let go as between turns.
template <typename Work>
auto BetweenTurns(Work work) LB_REQUIRES(g_sdkLock) {
  return CallModule(work);
}
// A camera worker driven by the test's thread, recording what it asks of the process.
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
  // Turns, the clock moving by each turn's wait, until the worker is idle; false when it is
  // still busy after `limitMs`.
  bool runUntilIdle(unsigned limitMs = 60000) LB_REQUIRES(g_sdkLock);

  CCameraWorker worker;
  std::atomic<int> wakes{0};  // from the thread that posts
  std::vector<std::uint32_t> sessionEnds;
};

// Runs one request through a fresh worker until nothing is left to do; true when it ended the
// session ("shutdown").
bool DispatchAndSettle(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* params)
    LB_REQUIRES(g_sdkLock);
// A function the simulator of `moduleFile` exports, or null. Each module file is its own
// library image, so what it does reaches that module only.
template <class Function>
Function* SimFunction(const char* moduleFile, const char* name) {
  void* library = platform::loadModule(platform::executableDirectory() + moduleFile);
  return library ? reinterpret_cast<Function*>(platform::findSymbol(library, name)) : nullptr;
}
// Sends one control line to the simulator of `moduleFile` ("Type0001.md3" ...).
void SimControl(const char* moduleFile, const std::string& line);
// Where the lens of camera `cameraId` of that simulator stands; -1 when it cannot be read.
double SimLensPosition(const char* moduleFile, unsigned cameraId);

// The test's thread plays the camera thread, holding the SDK lock but where that lets go of it
// (BetweenTurns); onCameraThread() tells the thread-safety analysis so. The host's
// notifications are installed, the outgoing queue empty at both ends.
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

// Two cameras (ids 1 and 2) on each of the modules Type0001 and Type0023, on `clock` (from 1 s).
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

// And a download folder of the test's own, numbering afresh, camera 0x101 connected (`camera`).
class ConnectedCameraTest : public SimFixture {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock);
  void TearDown() override LB_RELEASE(g_sdkLock);

  std::filesystem::path m_folder;
  CCamera* camera = nullptr;
};

}  // namespace simtest
