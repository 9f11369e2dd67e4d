#include "camera/modules/module_manager.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "camera/camera/camera.h"
#include "camera/camera_clock.h"
#include "camera/camera_host.h"
#include "camera/download/download_directory.h"
#include "camera/download/file_naming.h"
#include "camera/modules/nikon_module.h"
#include "camera/sdkobject/nikon_object.h"
#include "platform/platform.h"
#include "platform/trace.h"

std::string ModuleFileName(int ordinal) {
  char name[32];
  std::snprintf(name, sizeof name, "Type%04d.md3", ordinal);
  return name;
}

const char kCrashTestMarkerPath[] = "C:\\_LUMENHALL_CRASH_ME_";

namespace {
// The singleton. Written by the main thread at start-up and by the dispatcher's "shutdown",
// both with the SDK lock held or before the I/O thread exists.
CNikonModuleManager* g_moduleManager = nullptr;
}  // namespace

CNikonModuleManager* CNikonModuleManager::getInstance() {
  if (!g_moduleManager) g_moduleManager = new CNikonModuleManager();
  return g_moduleManager;
}

CNikonModuleManager* CNikonModuleManager::existingInstance() { return g_moduleManager; }

void CNikonModuleManager::DestroyInstance(HeldFiles heldFiles) {
  CNikonModuleManager* manager = g_moduleManager;
  g_moduleManager = nullptr;
  delete manager;
  if (heldFiles == HeldFiles::End) EndHeldFiles();
}

int FindModuleFile(const std::string& name, std::string& path) {
  // Modules are looked for in the executable's own folder only, never on the search path,
  // so a stray library elsewhere can never be loaded in their place.
  const std::string candidate = platform::executableDirectory() + name;
  if (!platform::fileExists(candidate)) return -1;
  path = candidate;
  return 0;
}

CNikonModuleManager::CNikonModuleManager() {
  loadModules();
  g_downloadDirectory = FindDownloadDirectory();
  if (std::FILE* marker = std::fopen(kCrashTestMarkerPath, "rb")) {
    std::fclose(marker);
    m_crashTestRequested = true;
  }
}

void CNikonModuleManager::loadModules() {
  // Most of the list is simply not installed on a given machine: one summary line says which
  // modules were found, instead of a line for every one that is missing.
  std::string found;
  int missing = 0;
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string name = ModuleFileName(i + 1);
    std::string path;
    if (FindModuleFile(name, path) != 0) {
      ++missing;
      continue;
    }
    found += found.empty() ? name : ", " + name;
    void* library = platform::loadModule(path);
    void* entry = nullptr;
    if (!library) {
      Trace("\"%s\" cannot be opened", path.c_str());
    } else {
      entry = platform::findSymbol(library, maid::kEntryPointName);
    }
    if (!entry) {
      Trace("Nikon library %s could not be loaded", name.c_str());
      continue;
    }
    // A module that refuses to open is skipped like a missing one, so one broken module
    // cannot keep the others (or the whole process) from starting.
    try {
      m_modules.push_back(std::make_unique<CNikonModule>(reinterpret_cast<maid::EntryPoint>(entry),
                                                         static_cast<unsigned>(i + 1)));
    } catch (int result) {
      Trace("Nikon library %s refused to open: %d", name.c_str(), result);
    }
  }
  Trace("Camera modules found: %s; %d of %d not installed", found.empty() ? "none" : found.c_str(),
        missing, kModuleCount);
}

CNikonModuleManager::~CNikonModuleManager() {
  m_currentModule = nullptr;
  // In order, each slot emptied before its module is deleted.
  for (auto& module : m_modules) module.reset();
  m_modules.clear();
  // With every module object closed, no completion can come any more.
  ReleaseAbandonedCompletions();
}

CNikonModule* CNikonModuleManager::findModule(std::uint32_t moduleIndex) const {
  for (const auto& module : m_modules) {
    if (module && module->m_moduleIndex == moduleIndex) return module.get();
  }
  return nullptr;
}

void CNikonModuleManager::leaveModuleBehind(std::uint32_t moduleIndex) {
  for (auto& module : m_modules) {
    if (!module || module->m_moduleIndex != moduleIndex) continue;
    if (m_currentModule == module.get()) m_currentModule = nullptr;
    Trace("Module %u is left open: a call into it has not come back", moduleIndex >> 8);
    // Never deleted: the call may still come back into the module's objects.
    static auto* leftBehind = new std::vector<std::unique_ptr<CNikonModule>>;
    leftBehind->push_back(std::move(module));
  }
}

CCamera* CNikonModuleManager::currentCamera() const {
  return m_currentModule ? m_currentModule->m_currentCamera : nullptr;
}

CCamera* CNikonModuleManager::connectedCamera(std::uint32_t deviceId) const {
  if (std::find(m_connected.begin(), m_connected.end(), deviceId) == m_connected.end())
    return nullptr;
  CNikonModule* module = findModule(deviceId & 0xFF00);
  if (!module) return nullptr;
  const auto found = module->m_cameras.find(static_cast<std::int32_t>(deviceId & 0xFF));
  CCamera* camera = found == module->m_cameras.end() ? nullptr : found->second;
  return camera && camera->lifetime() == CameraLifetime::Connected ? camera : nullptr;
}

std::vector<std::uint32_t> CNikonModuleManager::connectedDevices() const {
  std::vector<std::uint32_t> devices;
  for (std::uint32_t deviceId : m_connected)
    if (connectedCamera(deviceId)) devices.push_back(deviceId);
  return devices;
}

std::size_t CNikonModuleManager::connectedCount() const { return connectedDevices().size(); }

void CNikonModuleManager::forgetConnected(std::uint32_t deviceId) {
  m_connected.erase(std::remove(m_connected.begin(), m_connected.end(), deviceId),
                    m_connected.end());
}

bool CNikonModuleManager::stepOperations(unsigned budgetMs, bool& delivering) {
  const bool underWay = stepCameras(nullptr, m_nextStepIndex, budgetMs, delivering, {});
  return StepHeldFiles() || underWay;
}

bool CNikonModuleManager::stepModuleOperations(CNikonModule& module, unsigned budgetMs,
                                               bool& delivering,
                                               const std::function<bool()>& yieldNow) {
  return stepCameras(&module, module.m_nextStepIndex, budgetMs, delivering, yieldNow);
}

bool CNikonModuleManager::stepCameras(const CNikonModule* only, std::size_t& nextIndex,
                                      unsigned budgetMs, bool& delivering,
                                      const std::function<bool()>& yieldNow) {
  // The cameras with work, each known by its module and id as well: a step may announce or
  // remove cameras (inside its polls), so each is looked up again before its share.
  struct Busy {
    CNikonModule* module;
    std::int32_t id;
    CCamera* camera;
  };
  std::vector<Busy> busy;
  forEachCamera([&](CNikonModule& module, std::int32_t id, CCamera* camera) LB_REQUIRES(g_sdkLock) {
    if (only && &module != only) return;
    if (camera->hasReleases() || camera->hasDownloads()) busy.push_back({&module, id, camera});
  });
  if (busy.empty()) return false;
  bool underWay = false;
  const unsigned share =
      std::max<unsigned>(budgetMs / static_cast<unsigned>(busy.size()), kMinCameraShareMs);
  const std::size_t first = nextIndex % busy.size();
  nextIndex = first + 1;  // a whole turn: the next begins one camera further
  const std::uint32_t turnStart = CameraClockMs();
  // A camera whose rig release is due to fire cuts the others' shares short: the turn ends
  // after the camera whose share it is, and the next begins one further, so a camera watched
  // closely is asked again within a few polls.
  const auto yieldToWatch = [&]() LB_REQUIRES(g_sdkLock) {
    return (yieldNow && yieldNow()) || wantsCloseWatch(only);
  };
  for (std::size_t k = 0; k < busy.size(); ++k) {
    const std::size_t index = (first + k) % busy.size();
    if (k > 0 && (CameraClockMs() - turnStart >= budgetMs || yieldToWatch())) {
      // The rest have the first shares of the next turn.
      nextIndex = index;
      delivering = true;
      return true;
    }
    const Busy& entry = busy[index];
    const auto found = entry.module->m_cameras.find(entry.id);
    if (found == entry.module->m_cameras.end() || found->second != entry.camera) continue;
    if (entry.camera->step(share, delivering, yieldToWatch)) underWay = true;
  }
  return underWay;
}

bool CNikonModuleManager::wantsCloseWatch(const CNikonModule* only) const {
  bool any = false;
  bool clockRead = false;
  std::uint32_t now = 0;
  forEachCamera([&](CNikonModule& module, std::int32_t, CCamera* camera) LB_REQUIRES(g_sdkLock) {
    if (any || (only && &module != only) || !camera->hasRigReleases()) return;
    if (!clockRead) now = CameraClockMs(), clockRead = true;
    any = camera->wantsCloseWatch(now);
  });
  return any;
}

bool CNikonModuleManager::hasDownloads() const {
  return HeldFilesWaiting() || anyCamera(&CCamera::hasDownloads);
}

bool CNikonModuleManager::hasReleases() const { return anyCamera(&CCamera::hasReleases); }

template <typename Visit>
void CNikonModuleManager::forEachCamera(Visit visit) const {
  for (const auto& module : m_modules) {
    if (!module) continue;
    for (const auto& entry : module->m_cameras) {
      if (entry.second) visit(*module, entry.first, entry.second);
    }
  }
}

bool CNikonModuleManager::anyCamera(bool (CCamera::*test)() const) const {
  bool any = false;
  forEachCamera(
      [&](CNikonModule&, std::int32_t, CCamera* camera) { any = any || (camera->*test)(); });
  return any;
}

void CNikonModuleManager::abandonReleases(const std::string& why) {
  forEachCamera([&](CNikonModule&, std::int32_t, CCamera* camera)
                    LB_REQUIRES(g_sdkLock) { camera->abandonReleases(why); });
}

void CNikonModuleManager::pumpModule(CNikonModule& module) {
  const auto rescan = [&]() LB_REQUIRES(g_sdkLock) {
    if (module.isOpen()) module.callAsync();
    module.scanAndInformHostOfCameraChanges();
    module.deleteRemovedCameras();
  };
  rescan();
  // At most one live-view frame per tick of each connected camera streaming, between the two
  // rounds of SDK work. A failed frame is skipped; the next tick tries again.
  for (const auto& entry : module.m_cameras) {
    CCamera* camera = entry.second;
    if (!camera || !camera->m_liveViewOn) continue;
    const std::uint32_t deviceId = module.deviceIdOf(camera);
    if (connectedCamera(deviceId) != camera) continue;
    const std::vector<unsigned char> frame = camera->getLiveViewImage();
    if (!frame.empty()) CameraHost().liveViewFrame(deviceId, frame);
  }
  rescan();
  // Only the host's module: a report another module still holds back is of a camera the host
  // has since left for one on this module, and would pass for its settings.
  if (&module == m_currentModule) module.sendPendingSettings();
  for (const auto& entry : module.m_cameras)
    if (entry.second) entry.second->sendOwnSettingsWhenDue();
}

void CNikonModuleManager::pumpIdle() {
  for (std::size_t i = 0; i < m_modules.size(); ++i) {
    if (m_modules[i]) pumpModule(*m_modules[i]);
  }
}
