// CNikonModule: one opened camera module (a TypeNNNN.md3 library) and its cameras.
//
// The module keeps its camera map in step with the SDK: the idle pump's rescans add cameras
// that came and take out cameras that went, telling the host of each; the removed ones
// wait in m_removedCameras until the pump deletes them later in the same tick, so nothing that
// is still on the call stack is ever deleted. It also connects the camera the host asks for and
// sends that camera's settings, at most twice a second (CSettingsThrottle).
//
// Ownership: the module owns its cameras through m_children (CNikonObject); m_cameras,
// m_removedCameras and m_currentCamera only lend them. The module itself is owned by the
// module manager.
//
// Threads: every method runs with the SDK lock held, on the module's lane (its heartbeat, the
// commands for its cameras, their long operations). Module events arrive inside our SDK calls on
// the calling thread.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "camera/maid/maid.h"
#include "camera/modules/settings_throttle.h"
#include "camera/sdk_lock.h"
#include "camera/sdkobject/nikon_object.h"

class CCamera;

// The highest camera id that fits the 8 camera bits of a device id.
constexpr maid::ULONG kMaxCameraId = 0xFF;
// How often the rescans try again a camera that is listed but could not be taken on: often
// enough that a camera that was only busy appears within a second, seldom enough that one
// that stays dead is not opened and closed on every tick.
constexpr std::uint32_t kCameraRetryMs = 1000;

class CNikonModule : public CNikonObject {
 public:
  // Opens the module object through `entryPoint`. `ordinal` is the place of the module's file
  // in the module list (1 to 29). Throws the int SDK result when the module refuses to open.
  CNikonModule(maid::EntryPoint entryPoint, unsigned ordinal);

  // Forgets the camera lists and lets CNikonObject destroy and close every camera.
  ~CNikonModule() override;

  // Returns the camera known under `id`, or builds it and tells the host. Null
  // when the camera cannot be opened or initialised; it is tried again at the next call.
  CCamera* addCamera(maid::ULONG id) LB_REQUIRES(g_sdkLock);

  // Compares the SDK's children with the known cameras: adds the new ones, removes (and
  // announces) the ones no longer listed or not alive. A call that failed with "camera not
  // found" (a lost transfer) drops nothing by itself: only this check does.
  void scanAndInformHostOfCameraChanges() LB_REQUIRES(g_sdkLock);

  // Makes camera `cameraId` current and connects it, letting the one current before go or
  // (a rig) keeping it connected: 0, or the SDK's error (-1 for an unknown camera) with no
  // camera current (LetGo) or the one before still current (StayConnected).
  enum class Others { LetGo, StayConnected };
  int connectCamera(maid::ULONG cameraId, Others others = Others::LetGo) LB_REQUIRES(g_sdkLock);
  // Lets the connected camera go (it stays known); nothing when none is connected.
  void disconnectCamera() LB_REQUIRES(g_sdkLock);

  // How long until the half second since the last report has passed; 0 when it has.
  unsigned settingsSpacingLeftMs() LB_REQUIRES(g_sdkLock);
  // Sends the current camera's settings now, whatever the spacing: for a command whose reply
  // the host expects after the settings (switching live view on), once it has waited for
  // the spacing itself. Clears a pending mark.
  void sendCameraSettingsNow() LB_REQUIRES(g_sdkLock);
  // For a connection, and for a watched setting of the current camera that changed: sends the
  // current camera's settings now when the throttle allows, else marks them for the idle
  // pump's sendPendingSettings. Never sleeps.
  void sendCameraSettingsSoon() LB_REQUIRES(g_sdkLock);

  // Idle pump: sends the marked settings once the throttle allows.
  void sendPendingSettings() LB_REQUIRES(g_sdkLock);

  // Deletes the cameras that rescans took out. Idle pump only.
  void deleteRemovedCameras() LB_REQUIRES(g_sdkLock);

  // Module events are only traced: arrivals and removals are found by the rescans.
  void onEvent(maid::ULONG event, maid::NKPARAM data) override;

  // The device id of `camera` under this module.
  std::uint32_t deviceIdOf(const CCamera* camera) const;

  std::uint32_t m_moduleIndex = 0;  // ordinal << 8; set once when the module opens
  // Known cameras by id, and the connected one; not owning.
  std::map<std::int32_t, CCamera*> m_cameras LB_GUARDED_BY(g_sdkLock);
  CCamera* m_currentCamera LB_GUARDED_BY(g_sdkLock) = nullptr;
  CSettingsThrottle m_settingsThrottle LB_GUARDED_BY(g_sdkLock);
  // Out of m_cameras, waiting for deletion.
  std::list<CCamera*> m_removedCameras LB_GUARDED_BY(g_sdkLock);
  // The connected camera that a rescan found gone ("D850 (device 257)"), until another is
  // connected; empty when none went.
  std::string m_connectedCameraGone LB_GUARDED_BY(g_sdkLock);
  // Where the next turn of this module's long operations begins in its list of cameras with
  // work (the manager's stepModuleOperations).
  std::size_t m_nextStepIndex LB_GUARDED_BY(g_sdkLock) = 0;

 private:
  // Builds and sends the current camera's table.
  void sendSettings() LB_REQUIRES(g_sdkLock);

  // Listed cameras that could not be taken on (refused to open, failed to initialise, said
  // they were not alive), with the camera clock of the last try: a scan tries each again
  // only once kCameraRetryMs has passed. Ids no longer listed are forgotten.
  std::map<maid::ULONG, std::uint32_t> m_refusedAtMs LB_GUARDED_BY(g_sdkLock);
};
