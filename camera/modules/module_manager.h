// CNikonModuleManager: the process's camera modules and the state shared by all cameras.
//
// Created once, by the start-up code with getInstance() (before the window and the I/O thread
// exist); it loads every module of the fixed list TypeNNNN.md3 found next to the executable,
// stores the download folder and checks the crash-test marker. Everything else reaches it
// through existingInstance(), which never creates it: the "shutdown" command destroys it with
// DestroyInstance(), and nothing that runs after that (a pipelined request, a late callback)
// loads the modules anew. Tests and fuzzers, which play the start-up code, call getInstance().
// Module libraries stay loaded for the life of the process.
//
// Ownership: the manager owns its modules (m_modules, deleted in order by the destructor);
// m_currentModule lends one of them.
//
// Threads: every method and field is used with the SDK lock held, on the camera thread (the
// main thread): its heartbeat (pumpIdle), its commands and its slices of the long operations;
// the fields say so to the thread-safety analysis. getInstance() is called at start-up, before
// the pipe thread starts, with the lock held like every other call.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "camera/sdk_lock.h"

class CCamera;
class CNikonModule;
class CContentContainer;

// The module files are looked for in the order of their ordinals, 1 to kModuleCount: the
// number in the file's name ("Type0023.md3" is 23), whether or not the modules before it
// exist. The ordinal is the high byte of its cameras' device ids.
constexpr int kModuleCount = 29;
// The least time a camera with work gets in a turn of the long operations, however many share
// it: below this a transfer's poll would barely run.
constexpr unsigned kMinCameraShareMs = 2;
// How soon a camera whose rig release is due to fire is asked again (wantsCloseWatch).
constexpr unsigned kCloseWatchPollMs = 1;
std::string ModuleFileName(int ordinal);

// The file whose presence at start-up asks for a crash on the next capture, to test the crash
// reporter.
extern const char kCrashTestMarkerPath[];

class CNikonModuleManager {
 public:
  static CNikonModuleManager* getInstance() LB_REQUIRES(g_sdkLock);
  // The instance if it has been created, without creating it.
  static CNikonModuleManager* existingInstance();
  // What becomes of the whole files still waiting for their names when the instance goes:
  // given up on (kept, and reported) at once, or left to go on waiting (StepHeldFiles).
  enum class HeldFiles { End, Keep };
  // Deletes the instance with its modules and cameras; nothing when there is none.
  static void DestroyInstance(HeldFiles heldFiles = HeldFiles::End) LB_REQUIRES(g_sdkLock);

  // The idle work of one heartbeat: every module's part (pumpModule) in turn.
  void pumpIdle() LB_REQUIRES(g_sdkLock);
  // One module's part of the heartbeat: its SDK asynchronous processing and rescans, the
  // deletion of its removed cameras and, when it is the current module, one live-view frame
  // (while live view is on) and the settings report held back by the half-second spacing.
  void pumpModule(CNikonModule& module) LB_REQUIRES(g_sdkLock);

  // One turn of the cameras' long operations (CCamera::step) within `budgetMs`, shared: each
  // camera with work gets an equal share (at least kMinCameraShareMs), and when the budget
  // ends before every camera had its share, the next turn begins with those left out. Then a
  // try for each held file whose pause has passed. True while any camera has a release or a
  // download under way or waiting, or a held file waits for its name; `delivering` is set when
  // a camera was still delivering at the end of its share, or one was left out.
  bool stepOperations(unsigned budgetMs, bool& delivering) LB_REQUIRES(g_sdkLock);
  // The same for the cameras of `module` alone, without the held files: a module's lane, whose
  // `yieldNow` says when it has work waiting (the turn then ends early, `delivering` set).
  bool stepModuleOperations(CNikonModule& module, unsigned budgetMs, bool& delivering,
                            const std::function<bool()>& yieldNow = {}) LB_REQUIRES(g_sdkLock);
  // Whether a camera (of `only`, or of any module when null) has a rig release due to fire: it
  // is to be asked again within kCloseWatchPollMs, so that the moment it fires is known closely.
  bool wantsCloseWatch(const CNikonModule* only) const LB_REQUIRES(g_sdkLock);
  // Whether any camera has a download under way or waiting, or a held file waits for its name.
  bool hasDownloads() const LB_REQUIRES(g_sdkLock);
  // Whether any camera has a release waiting for its completion.
  bool hasReleases() const LB_REQUIRES(g_sdkLock);
  // Gives up every release still waiting for its completion (the process is ending).
  void abandonReleases(const std::string& why) LB_REQUIRES(g_sdkLock);

  // Gives up module `moduleIndex` for good: its lane is stuck inside one of its calls, so it is
  // neither closed nor touched again, and it stays in memory for that call to come back to.
  void leaveModuleBehind(std::uint32_t moduleIndex) LB_REQUIRES(g_sdkLock);

  // The connected camera: the current module's current camera; null when either is missing.
  CCamera* currentCamera() const LB_REQUIRES(g_sdkLock);
  // The camera `deviceId` while the host holds it connected (and it is still there), or null.
  CCamera* connectedCamera(std::uint32_t deviceId) const LB_REQUIRES(g_sdkLock);
  // How many cameras the host holds connected that are still there.
  std::size_t connectedCount() const LB_REQUIRES(g_sdkLock);
  // The device ids of those cameras, in the order they were connected.
  std::vector<std::uint32_t> connectedDevices() const LB_REQUIRES(g_sdkLock);
  // Takes `deviceId` out of m_connected.
  void forgetConnected(std::uint32_t deviceId) LB_REQUIRES(g_sdkLock);
  // The module whose m_moduleIndex is `moduleIndex` (device id & 0xFF00), or null.
  CNikonModule* findModule(std::uint32_t moduleIndex) const LB_REQUIRES(g_sdkLock);

  // Opened modules in list order.
  std::vector<std::unique_ptr<CNikonModule>> m_modules LB_GUARDED_BY(g_sdkLock);
  // Module of the connected camera; not owning.
  CNikonModule* m_currentModule LB_GUARDED_BY(g_sdkLock) = nullptr;
  // The cameras the host holds connected, by device id, in the order it connected them: the
  // current camera alone, unless the host asked to keep the others (a rig). A camera that went
  // drops out by itself (connectedCamera finds it no more).
  std::vector<std::uint32_t> m_connected LB_GUARDED_BY(g_sdkLock);
  bool m_crashTestRequested = false;

 private:
  // Where the next turn of stepOperations begins in its list of cameras with work.
  std::size_t m_nextStepIndex LB_GUARDED_BY(g_sdkLock) = 0;

  CNikonModuleManager() LB_REQUIRES(g_sdkLock);
  ~CNikonModuleManager();
  CNikonModuleManager(const CNikonModuleManager&) = delete;
  CNikonModuleManager& operator=(const CNikonModuleManager&) = delete;

  void loadModules() LB_REQUIRES(g_sdkLock);
  // The cameras' turn of stepOperations, of one module or (null) of all; `nextIndex` is where
  // the turn begins in their list.
  bool stepCameras(const CNikonModule* only, std::size_t& nextIndex, unsigned budgetMs,
                   bool& delivering, const std::function<bool()>& yieldNow) LB_REQUIRES(g_sdkLock);
  // Whether `test` holds for any camera of any module.
  bool anyCamera(bool (CCamera::*test)() const) const LB_REQUIRES(g_sdkLock);
  // Calls `visit(module, cameraId, camera)` for every camera of every module, in list order.
  template <typename Visit>
  void forEachCamera(Visit visit) const LB_REQUIRES(g_sdkLock);
};

// Looks for `name` in the executable's folder: 0 and the full path, or -1.
int FindModuleFile(const std::string& name, std::string& path);
