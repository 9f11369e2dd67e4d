// libFuzzer target: arbitrary requests, as they could arrive on the pipe, decoded and
// dispatched against the simulated cameras beside the fuzzer (Type0001.md3, Type0023.md3).
//
// Whatever the host sends, the process must not crash, leak, hang or corrupt its state: the
// sanitizers watch the worker's routing, every command handler, the camera layer and the
// simulator. Each input goes to a fresh camera worker, which runs a few turns as the camera
// thread would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "bridge/camera_worker.h"
#include "bridge/notifications.h"
#include "camera/camera_host.h"
#include "camera/download/download_directory.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"

namespace {

std::filesystem::path g_downloads;
CHostNotifications g_hostNotifications;

// The process around the worker: nothing to wake, and a session's end is the worker's own.
class CFuzzDelegate : public CCameraWorkerDelegate {
 public:
  void wakeCameraThread() override {}
  void endHostSession(std::uint32_t) override {}
};

// Turns enough for a request, its heartbeat and the operations it starts, without waiting for
// time to pass (a command that waits for the settings' spacing is dropped with the worker).
constexpr int kTurnsPerInput = 8;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_downloads =
      std::filesystem::temp_directory_path() / ("lb_dispatcher_fuzz_" + std::to_string(getpid()));
  std::filesystem::create_directories(g_downloads);
  // libFuzzer ends with exit(), so the folder goes with the process (a crash leaves it to read).
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(g_downloads, ignored);
  });
  SetCameraHost(&g_hostNotifications);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    CSdkLockGuard lock(g_sdkLock);
    CNikonModuleManager* manager = CNikonModuleManager::getInstance();
    g_downloadDirectory = g_downloads.string() + "/";
    // The settings throttle would hold reports back half a second; time is not under test.
    for (const auto& module : manager->m_modules) module->m_settingsThrottle = CSettingsThrottle();
  }

  CFuzzDelegate delegate;
  CCameraWorker worker(delegate);
  HandleHostRequest(data, size, [&](std::uint32_t id, const ZnLuaTE* name, const ZnLuaTE* params) {
    worker.post(id, name, params);
  });
  for (int turn = 0; turn < kTurnsPerInput && worker.phase() != CCameraWorker::Phase::Ended; ++turn)
    worker.runTurn();
  worker.cancel();
  {
    // As the heartbeat does, which is not due within the turns above.
    CSdkLockGuard lock(g_sdkLock);
    if (CNikonModuleManager* current = CNikonModuleManager::existingInstance()) current->pumpIdle();
  }

  DiscardOutgoingMessages();
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(g_downloads, ignored))
    std::filesystem::remove(entry.path(), ignored);
  return 0;
}
