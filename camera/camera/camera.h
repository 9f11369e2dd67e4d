// CCamera: one camera, a source object under a camera module.
//
// A camera is created by its module when a rescan (or "listDevices") finds a new source id,
// and lives until a rescan finds it gone or the module is destroyed. It reads its name,
// exposure mode and ISO control at creation, builds the settings table the host sees, changes
// one setting on the host's request, and handles its own SDK events: setting changes are
// passed to the module's throttled settings report, new capture items are queued for its
// steps to download.
//
// Ownership: the camera is owned by its module's m_children (CNikonObject::adoptChild) once
// it is initialised; the module's m_cameras only lends it. The camera owns its capture items
// through its own m_children.
//
// Threads: every method runs with the SDK lock (g_sdkLock) held, on the camera thread: inside a
// command, a slice of the long operations or the idle pump. SDK callbacks (onEvent,
// onCompletion, onData) arrive inside our own SDK calls on the calling thread, so they run
// under the same lock. CCamera takes no lock of its own.
//
// The settings, connection and event code lives in camera.cpp; capture, live view and focus
// in camera_capture.cpp; onItemAdded with the downloads in camera/download/.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>
#include <string>

#include "camera/camera/pending_release.h"
#include "camera/download/shot_pairing.h"
#include "camera/maid/maid.h"
#include "camera/modules/settings_throttle.h"
#include "camera/sdk_lock.h"
#include "camera/sdkobject/nikon_object.h"

class CContentContainer;
class CNikonModule;
class ZnLuaTE;
class ZnLuaTETable;

// The number of bytes that precede the JPEG data of a live-view frame. It depends on the
// module's type name (the first word of its name, "Type0001" ...) and the camera type.
std::uint32_t LiveViewHeaderSize(std::uint32_t cameraType, const std::string& moduleType);

// The exposure time a shutter-speed text names, rounded up to whole ms ("1/250" is 4 ms, "1\"3"
// 1300 ms; see ShutterSpeedSeconds); 0 for a text without one (bulb, time).
std::uint32_t ExposureMsOfShutterSpeed(const std::string& text);

// The error code the host gets for a release that never came back (the camera neither
// completed it nor sent a file) and did not leave either.
constexpr int kReleaseNotEnded = -1008;

// A camera's life: known (announced to the host), connected (the host's camera: its events
// reach it), gone (a rescan took it out, unplugged or dead: nothing asks it anything any more;
// it waits in its module to be deleted). Only CCamera's own connect, disconnect and markGone
// move it from one to another.
enum class CameraLifetime { Known, Connected, Gone };

class CCamera : public CNikonObject {
 public:
  // Opens source `id` under `module`. The caller runs initialize() next and hands the camera
  // to the module with adoptChild once it is ready. Throws the int SDK result when the open is
  // refused.
  CCamera(CNikonModule* module, maid::ULONG id);

  // Switches live view off (bounded attempts) before the SDK object is closed, unless the
  // camera is gone.
  ~CCamera() override;

  // Reads the name, exposure mode, ISO control and, when the camera has a type, the
  // live-view header size. Throws the int SDK result when a required read fails. An exposure
  // mode without a current entry counts as unknown (0): every setting then comes as a plain
  // value.
  void initialize(maid::ULONG id, CNikonModule* module) LB_REQUIRES(g_sdkLock);

  // Known -> Connected: events come to the camera itself and captures are saved to the
  // computer. Returns 0, or the failing result with the camera still known only.
  int connect() LB_REQUIRES(g_sdkLock);
  // Connected -> Known: its events no longer reach it.
  void disconnect() LB_REQUIRES(g_sdkLock);
  // -> Gone, whatever it was: unplugged or dead.
  void markGone() LB_REQUIRES(g_sdkLock);
  CameraLifetime lifetime() const LB_REQUIRES(g_sdkLock) { return m_lifetime; }

  // Builds a new settings table, never null: a setting that cannot be read only leaves its
  // keys out.
  std::unique_ptr<ZnLuaTETable> makeSettingsTable() LB_REQUIRES(g_sdkLock);

  // Adds one setting: with an empty entriesKey the plain value under `key`; otherwise the
  // current entry text under `key` and the 0-based entries list under `entriesKey`.
  void addSettingEntry(ZnLuaTETable& table, std::string entriesKey, std::string key,
                       maid::ULONG capId);

  // Changes the setting named by "param_key" in params (or by key when params is null) to
  // the entry chosen by "param_value". The outcome reaches the host through the settings table
  // sent next and the camera's change event.
  void updateCameraSetting(const ZnLuaTE* params, std::string key) LB_REQUIRES(g_sdkLock);

  // Sets enumeration capId to the entry index under "param_value". -123 when params is not a
  // table, 0 when done or there is nothing to do, else -1, 50000 or the SDK result.
  int setEnumSetting(maid::ULONG capId, const ZnLuaTE* params);

  // --- Capture, live view and focus (camera_capture.cpp): the host's commands. ---

  // Releases the shutter and returns once the camera has taken the release; step() waits for
  // its completion. A release the camera refuses, at the start or in its completion, is
  // reported to the host as a failed download without a capture id, and so is one whose
  // completion does not come within its exposure time plus startTimeoutMs()
  // (kReleaseNotEnded). A camera still busy with an earlier release or a transfer gives its own
  // answer: it takes the release (its files come in order) or refuses it ("device busy"),
  // which is passed on as a refused release.
  // A rig release (`rig.rigShot` not 0) is also reported with rigReleaseEnded, with the times
  // it was started and fired, and its files carry its rig shot.
  // False when it could not be tried (the camera is closed or takes no releases).
  bool capture(RigTag rig = {}) LB_REQUIRES(g_sdkLock);
  // capture() in its parts, for a rig, whose releases start back to back once every camera's
  // exposure time is known: whether it can be tried, the exposure time, and the start.
  bool canRelease() const;
  std::uint32_t releaseExposureMs() LB_REQUIRES(g_sdkLock);
  void startRelease(std::uint32_t exposureMs, RigTag rig) LB_REQUIRES(g_sdkLock);
  // Switches live view on; true, with m_liveViewOn set, when the camera took it.
  bool startLiveView() LB_REQUIRES(g_sdkLock);
  // Switches live view off (up to 5 attempts); true, with m_liveViewOn cleared, when it is off.
  bool stopLiveView() LB_REQUIRES(g_sdkLock);
  // One frame without its header; empty when the camera gave none (a frame always holds
  // image bytes after its header). Main thread (idle pump).
  std::vector<unsigned char> getLiveViewImage() LB_REQUIRES(g_sdkLock);
  // One manual focus drive in the direction under "focus_direction".
  void driveFocus(const ZnLuaTE* params) LB_REQUIRES(g_sdkLock);
  // Starts contrast auto-focus when it is off, stops it when on; the flag follows the camera.
  void toggleAutoFocus() LB_REQUIRES(g_sdkLock);

  // --- Long operations (camera_operations.cpp), on the camera thread. ---

  // One slice of the camera's long operations: starts the next waiting download, polls the
  // SDK for the release and the download under way (again at once while blocks keep coming,
  // for at most `sliceMs`), and ends each at its own bound: the release's completion within
  // startTimeoutMs(), a block or the completion of the transfer within
  // transferInactivityMs(), and the camera still there at each kPresenceCheckMs. True while
  // anything is under way or waiting; `delivering` is set when the slice ended while the
  // camera was still delivering (so the caller comes back at once).
  // `yieldNow`, when given, is asked between polls: when it says so the slice ends early (with
  // `delivering` set), so that its caller's waiting work, a rig release say, is not held up.
  bool step(unsigned sliceMs, bool& delivering, const std::function<bool()>& yieldNow = {})
      LB_REQUIRES(g_sdkLock);
  // Whether a download is under way or waiting.
  bool hasDownloads() const LB_REQUIRES(g_sdkLock) {
    return m_download || !m_waitingDownloads.empty();
  }
  // Whether a rig release of the camera is due to fire: it is to be asked again and again,
  // before the other cameras' transfers go on, so that the moment it fires is known closely.
  bool wantsCloseWatch(std::uint32_t nowMs) const LB_REQUIRES(g_sdkLock);
  // Whether any release waiting is a rig release.
  bool hasRigReleases() const LB_REQUIRES(g_sdkLock);
  // Whether a release waits for its completion.
  bool hasReleases() const LB_REQUIRES(g_sdkLock) { return !m_releases.empty(); }
  // Gives up the releases still waiting (the process is ending), `why` told the host.
  void abandonReleases(const std::string& why) LB_REQUIRES(g_sdkLock) {
    endReleases(ReleaseEnd::Abandoned, why);
  }

  // --- Downloads (camera/download/). ---

  // A new capture item under this camera: wraps it, numbers it and queues its download for
  // step(). Throws the int SDK result when the item cannot be opened.
  void onItemAdded(maid::ULONG itemId);
  // The rig shot of an item of `shot`: a shot new to the camera takes the oldest rig release
  // still waiting for its files, so the files of a rig release carry its number; 0 when none
  // waits (a shot of the camera's own button, or of "doCapture").
  std::uint32_t rigShotOf(CaptureShotId shot) LB_REQUIRES(g_sdkLock);

  // --- SDK callbacks. ---
  void onCompletion(maid::ULONG command, maid::NKERROR result, maid::NKPARAM context) override;
  maid::NKERROR onData(void* dataInfo, void* data) override;
  void onEvent(maid::ULONG event, maid::NKPARAM data) override;

  // False only when the camera is closed or says it is gone (SaysItIsGone).
  bool isAlive() LB_REQUIRES(g_sdkLock);

  // A camera of a rig that is not its module's current camera reports its setting changes
  // itself, half a second apart like a module's: now, or (marked) at a later pump.
  void sendOwnSettingsWhenDue() LB_REQUIRES(g_sdkLock);

  // The module this camera belongs to, or null when its parent is something else.
  CNikonModule* module() const;
  // Its device id (module index | camera id); the camera id alone without a module.
  std::uint32_t deviceId() const;

  // Read once when the camera is taken on, and constant afterwards.
  std::string m_name;                      // kNkMAIDCapability_Name
  std::uint32_t m_cameraId = 0;            // SDK id under the module; low 8 bits of the device id
  std::string m_moduleType;                // first word of the module's name, e.g. "Type0023"
  std::uint32_t m_liveViewHeaderSize = 0;  // bytes before the JPEG data of a frame

  // The camera thread's, with the SDK lock held.
  bool m_present LB_GUARDED_BY(g_sdkLock) = false;  // presence mark of the module's rescan
  CShotPairing m_shots LB_GUARDED_BY(g_sdkLock);    // which shot each new item belongs to
  // Current kNkMAIDCapability_ExposureMode value, and whether ISO is automatic.
  std::uint32_t m_exposureMode LB_GUARDED_BY(g_sdkLock) = 0;
  bool m_isoControl LB_GUARDED_BY(g_sdkLock) = false;
  // Live view and contrast auto-focus, as this process started them.
  bool m_liveViewOn LB_GUARDED_BY(g_sdkLock) = false;
  bool m_autoFocusOn LB_GUARDED_BY(g_sdkLock) = false;
  std::uint32_t m_itemsAnnounced LB_GUARDED_BY(g_sdkLock) = 0;  // capture items announced
  CSettingsThrottle m_ownSettings LB_GUARDED_BY(g_sdkLock);     // sendOwnSettingsWhenDue's spacing

 private:
  CameraLifetime m_lifetime LB_GUARDED_BY(g_sdkLock) = CameraLifetime::Known;

  // Ends the releases whose completion came or whose bound passed.
  void settleReleases(std::uint32_t nowMs) LB_REQUIRES(g_sdkLock);
  // The one way a release ends: it goes, and the host hears of it as `reason` has it (a
  // refusal, at the start or in the completion, as the camera's own result; any other end
  // without its completion as kReleaseNotEnded, saying why; `why` is Abandoned's reason).
  void endRelease(std::unique_ptr<CPendingRelease> release, ReleaseEnd reason,
                  const std::string& why = {}) LB_REQUIRES(g_sdkLock);
  // Ends every release still waiting, oldest first.
  void endReleases(ReleaseEnd reason, const std::string& why = {}) LB_REQUIRES(g_sdkLock);
  // Lets go of the download under way and the waiting ones alike, and destroys them (the
  // camera is going): the transfer under way is cut off, and its file reported.
  void dropDownloads() LB_REQUIRES(g_sdkLock);

  // The rig releases the camera has taken whose first file has not come yet, oldest first, and
  // the last shots that took one, newest last (a few: the two files of a pair come close).
  std::deque<std::uint32_t> m_rigShotsAwaitingFiles LB_GUARDED_BY(g_sdkLock);
  std::deque<std::pair<CaptureShotId, std::uint32_t>> m_rigShotOfShot LB_GUARDED_BY(g_sdkLock);
  // Tells the host how the rig part of `release` ended.
  void reportRigRelease(const CPendingRelease& release, bool fired, int errorCode,
                        const std::string& description) LB_REQUIRES(g_sdkLock);

  // The releases the camera has taken and not completed, oldest first.
  std::deque<std::unique_ptr<CPendingRelease>> m_releases LB_GUARDED_BY(g_sdkLock);
  // Camera clock at the last presence check.
  std::uint32_t m_lastPresenceCheckMs LB_GUARDED_BY(g_sdkLock) = 0;
  // The download under way, and the waiting ones in the order they came; owned by m_children.
  CContentContainer* m_download LB_GUARDED_BY(g_sdkLock) = nullptr;
  std::deque<CContentContainer*> m_waitingDownloads LB_GUARDED_BY(g_sdkLock);

  // Traces a picture lost before any file of it was announced and tells the host, with
  // `errorCode` and no capture id.
  void reportLostShot(int errorCode, const std::string& description) LB_REQUIRES(g_sdkLock);
};
