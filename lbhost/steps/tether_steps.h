// The steps of an lbhost run against one lensbridge.exe: the process is started once, the
// camera connected at the first step that needs it, and every step reports to a CRunReport.
// A --device that names several cameras makes a rig: all of them are connected together, and
// capture and timelapse fire them with one release, settings and set read and change each.
//
// Every wait has the run's --timeout and shows progress on stderr after a second; a download
// is given up only after --timeout without progress (its bytes on disk not growing), so a big
// file on a slow link lands however long it takes. While it waits, trouble ends the wait at
// once: an "error" notification (a picture that did not arrive, a refused release), the
// camera's "deviceRemoved", the process closing its pipe, or Ctrl+C. A file of a shot that
// fails does not strand the others: they are awaited and saved, and the failure is told after
// them. A wait that times out on a request the process never answered marks the process
// unresponsive, so the shutdown does not wait for it again.
//
// Ctrl+C (`interrupted`) ends the waits that wait for the photographer or the clock (a pause, a
// watch, live view) but not a release or a download in progress: the file lands and is saved
// first, and no new shot is started after it.
//
// Threads: one owner thread. `interrupted` is set by the console's Ctrl+C handler, which may
// read ledger() from its own thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lbhost/core/camera_names.h"
#include "lbhost/core/download_progress.h"
#include "lbhost/core/file_ledger.h"
#include "lbhost/client/host_session.h"
#include "lbhost/core/command_line.h"
#include "lbhost/core/result.h"
#include "lbhost/core/run_report.h"

// What a caller that shows the session as it happens (lbhost serve) hears of it. Every call
// comes on the owner thread, from inside run(), pump() and reconnectCamera(); none may call
// back into CTetherSteps.
class CTetherObserver {
 public:
  virtual ~CTetherObserver() = default;
  // A notification no step waits for: live-view frames, settings changed on the camera,
  // cameras coming and going. Shots the camera takes by itself are left for pump().
  virtual void unclaimed(const HostMessage& message) = 0;
  virtual void fileAnnounced(const DownloadedFile& file) = 0;
  virtual void fileDownloaded(const DownloadedFile& file) = 0;
  // The file is at `path` for good (moved into --out, or where the process put it).
  virtual void fileSaved(const DownloadedFile& file, const std::string& path) = 0;
  // A shot of a step is done and whole, with the label its line carries ("stack 2/5").
  virtual void shotDone(const std::string& label) = 0;
  // A rig shot has ended, whole or not: its entry of "rig_shots" (see README, "Using a rig").
  virtual void rigShotEnded(const nlohmann::json& /*shot*/) {}
};

class CTetherSteps {
 public:
  // `report` and `interrupted` are not owned and must outlive this object.
  CTetherSteps(const LbhostOptions& options, CRunReport& report,
               const std::atomic<bool>& interrupted);

  // Makes the --out folder and starts the process.
  Status start();
  Status run(const Step& step);
  // "shutdown" and the process's end; a process that stopped answering is given a short
  // wait and then terminated. Every file the session leaves unsaved (announced after the
  // last step, or stranded by a failure) is then named on stderr and under "not_saved".
  Status shutdown();
  // Runs the hook for "stop" (when there is a hook); fails when it failed and --hook-stops
  // is given.
  Status finishHooks() { return runHook("stop", ""); }

  // `observer` (not owned, may be null) must outlive this object or be replaced first.
  void setObserver(CTetherObserver* observer) { m_observer = observer; }
  // Connects the camera --device names, as the first step that needs it does, but fails at
  // once when none is found: serve tries again on its own beat, telling the page meanwhile.
  Status connectCamera() { return ensureConnected(Clock::now()); }
  // Waits up to `ms` for what the camera does: a shot (of its own release, or of release())
  // is downloaded and saved as in a watch. A shot whose files are still transferring when
  // `ms` are over stays open for the next call, so the caller can take other commands
  // meanwhile. On trouble, cameraUnplugged() tells an unplugged camera apart.
  Status pump(unsigned ms);
  // Releases the shutter and returns at once; pump() collects the shot, and an "error" for
  // the release ends a pump() with it.
  Status release();
  // After cameraUnplugged(): waits until the camera is back and connects it again, for as
  // long as it takes or until `interrupted` is set.
  Status reconnectCamera();
  // Switches live view on or off, whichever it is now; the state after.
  Result<bool> switchLiveView(bool wanted);
  // The settings of the connected camera `deviceId` (0: the current one).
  Result<std::unique_ptr<ZnLuaTE>> readSettings(std::uint32_t deviceId = 0);

  // In a rig, its cameras as connected, in --device's order; empty with one camera.
  const std::vector<CameraInfo>& rigCameras() const { return m_rig; }
  // What the output calls camera `deviceId`: its chosen name, or its model and device id.
  std::string cameraCalled(std::uint32_t deviceId) const { return cameraLabel(deviceId); }
  // Switches the live view of the rig's camera `deviceId` on when it is off and off when it is
  // on; the process tells only the current camera's, so the caller keeps each camera's state.
  Status toggleLiveView(std::uint32_t deviceId);

  bool cameraUnplugged() const { return m_unplugged; }
  // A shot's files are still transferring (see pump()).
  bool shotOpen() const { return m_openShot != nullptr; }
  const std::optional<CameraInfo>& camera() const { return m_camera; }
  // True when Ctrl+C ended the last step that ran, which then counts as done.
  bool endedByInterrupt() const { return m_endedByInterrupt; }
  const CFileLedger& ledger() const { return m_ledger; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Shot {
    std::vector<DownloadedFile> files;
    std::vector<std::string> savedPaths;  // where each file is now
    std::set<int> failed;                 // capture ids of the announced files that did not arrive
  };
  // One camera's part of a rig shot, as its "rigReleaseEnded" tells it.
  struct RigPart {
    CameraInfo camera;
    bool ended = false;  // its "rigReleaseEnded" came
    std::optional<double> startedMs, firedMs;
    std::string notFired;  // why it did not take the picture, or empty
    bool lost = false;     // unplugged before its files were all in
  };
  // One shot's files while they are announced and downloaded, collected a wait at a time.
  struct ShotCollection {
    ShotCollection(const std::string& downloadFolder, Clock::time_point firstFileDeadline,
                   bool noneIsFine, std::string what, unsigned firstFileMs);
    // The announced file has neither arrived nor failed.
    bool awaits(const DownloadedFile& file) const;
    // The announced file of this capture that has not ended, or null.
    DownloadedFile* pending(int captureId);
    // Every announced file has ended and no partner of a pair is still to come.
    bool settled() const;
    // No camera's pair waits for its second file.
    bool pairsSettled() const;
    // What the next wait waits for, for its progress line.
    std::string awaited() const;

    Shot shot;
    CDownloadProgress progress;
    // Until the first file: when it must have come. Then --timeout from the last progress.
    Clock::time_point deadline;
    bool noneIsFine;        // a shot that never comes is no failure (a watch, a pump)
    std::string what;       // what is awaited before the first file
    unsigned firstFileMs;   // the first file's wait, for its message
    std::size_t ended = 0;  // files complete or failed
    // The cameras (by device id) one of whose pairs lost its other file before it was announced.
    std::set<std::uint32_t> partnerLost;
    std::string failure;  // the first file's failure, told once the others have ended
    // Only a rig shot's: its number, and each camera's part, in the order --device gave them.
    std::uint32_t rigRequest = 0;  // the "doRigCapture" whose answer gives the number
    int rigShot = 0;               // 0 until that answer came
    std::vector<RigPart> rig;
  };
  // What the waits hear of the ones who wait.
  struct WaitStyle {
    bool showProgress;
    bool interruptible;  // Ctrl+C ends the wait
  };
  static constexpr WaitStyle kQuietInterruptible{false, true};

  // Connects the camera --device names; while the process lists none, waits until
  // `firstCameraBy` for one to be found.
  Status ensureConnected(Clock::time_point firstCameraBy);
  // Waits for the first message `wanted` accepts, watching for trouble meanwhile: the message,
  // nothing when `deadline` passed, or the failure. With `shot`, the wait also ends at the
  // shot's own deadline, which moves on to --timeout from each moment its downloads grow, and
  // the progress line says how far they have come. The message that ended a wait with
  // trouble is kept in m_trouble.
  Result<std::optional<HostMessage>> waitFor(const std::function<bool(const HostMessage&)>& wanted,
                                             Clock::time_point deadline, const std::string& what,
                                             WaitStyle style = {true, false},
                                             ShotCollection* shot = nullptr);
  // Waits until `until` for nothing but trouble or Ctrl+C: a planned pause.
  Status pause(Clock::time_point until, const std::string& what);
  // Collects the shot until it is settled (true) or `until` (false).
  Result<bool> advance(ShotCollection& c, Clock::time_point until);
  // When m_trouble is an "error" about a file of `c`, enters it there (the rest of the shot
  // is still awaited) and returns true.
  bool takeFileFailure(ShotCollection& c, const std::string& why);
  // Enters an "objectWasAdded" or "fileDownloadComplete" of `c`'s files; false when the
  // message is about no file of it.
  bool takeFileMessage(ShotCollection& c, const HostMessage& message);
  // Collects a rig shot until every camera has fired and its files have arrived or ended, or
  // has reported why it did not fire, or went; fails then with what went wrong.
  Status advanceRig(ShotCollection& c);
  // Fails when Ctrl+C asks that no new shot be started.
  Status notInterrupted(const std::string& where) const;
  // Runs the hook for one action; fails when the run must end.
  Status runHook(const std::string& action, const std::string& argument);
  // Moves a downloaded file to `target` whole or not at all; the final path.
  Result<std::string> moveWhole(const std::string& from, const std::string& target);
  // Waits until the unplugged camera is back and connects it again.
  Status reconnect(Clock::time_point end);
  // The longest the camera may take for one release: the exposure plus --timeout.
  Result<unsigned> releaseWaitMs(std::uint32_t deviceId = 0);
  Result<HostMessage> request(const std::string& name, const ZnLuaTE* params = nullptr);
  // Sends a request that has no answer.
  Status post(const std::string& name, const ZnLuaTE* params = nullptr);

  Status takeShot(Shot* shot);
  // The files of one shot, announced and downloaded. Until the first file is announced the
  // wait lasts until firstFileDeadline, `firstFileMs` from now as the message tells (then
  // done with no files when noneIsFine); after that, the run's timeout without progress.
  // A file that fails is entered in shot->failed and the others are still awaited; the
  // shot then fails with the first failure.
  Status collectShot(Clock::time_point firstFileDeadline, bool noneIsFine, const std::string& what,
                     Shot* shot, unsigned firstFileMs);
  Status saveShot(Shot* shot);
  // Saves the files of a shot that arrived, also when collecting it failed: nothing that came
  // is left behind unnamed.
  Status keepShot(Status collected, Shot* shot);
  // Lines and JSON for the files of a shot that arrived; the observer hears of a `whole` one.
  void reportShot(const Shot& shot, const std::string& label, nlohmann::json* files, bool whole);

  // The steps, which run() finds by their StepKind. Those of the camera's settings:
  Status runSettings(const Step& step);
  Status runGet(const Step& step);
  Status runSet(const Step& step);
  Status runAf(const Step& step);
  // Those that shoot, and what they share: takeShot, keepShot and reportShot for one shot.
  Status shootOne(const std::string& label, nlohmann::json* files);
  Status runCapture(const Step& step);
  Status runWatch(const Step& step);
  Status runTimelapse(const Step& step);
  Status runStack(const Step& step);
  // Live view, the lens, and those that need no camera connected.
  Status driveFocus(int direction);
  Status runLiveView(const Step& step);
  Status runFocus(const Step& step);
  Status runList(const Step& step);
  Status runSend(const Step& step);
  Status runName(const Step& step);
  // The rig's: one shot of every camera, and the settings side by side.
  Status shootRig(const std::string& label, nlohmann::json* files);
  Status runRigSettings();
  Status runRigSet(const Step& step);
  // The cameras the process lists, with their chosen names in m_names. While it lists none,
  // a "deviceAdded" is awaited until `firstCameraBy` and the cameras listed again: a camera
  // switched on as the run starts is found a moment later.
  Result<std::vector<ListedCamera>> listCameras(Clock::time_point firstCameraBy);
  // What {camera} and the output call a camera: its chosen name; unnamed, its model, with its
  // device id in a rig.
  std::string cameraLabel(std::uint32_t deviceId) const;
  // The camera a notification is about: its device_id; without one, the rig's only camera,
  // else 0 (one camera connected, which the process does not name).
  std::uint32_t deviceOf(const HostMessage& message) const;
  // Several cameras were asked for (--device all, or a list).
  bool rig() const { return NamesSeveralCameras(m_options.device); }
  const LbhostOptions& m_options;
  CRunReport& m_report;                    // not owned
  const std::atomic<bool>& m_interrupted;  // not owned
  CHostSession m_session;
  std::string m_outFolder;                        // --out as a full path, or empty
  std::optional<CameraInfo> m_camera;             // the connected camera; in a rig, the first
  std::vector<CameraInfo> m_rig;                  // in a rig, every connected camera
  std::map<std::uint32_t, std::string> m_names;   // the cameras' chosen names, by device id
  std::map<std::uint32_t, std::string> m_models;  // the cameras' models, by device id
  nlohmann::json* m_step = nullptr;               // the report's entry of the running step
  long long m_shotCounter = -1;  // the last {n} given; -1 until the first shot is saved
  bool m_unresponsive = false;
  bool m_unplugged = false;  // the last trouble was the camera's "deviceRemoved"
  bool m_endedByInterrupt = false;
  bool m_quietCamera = false;            // the connection's line goes to stderr
  std::optional<HostMessage> m_trouble;  // what ended the last wait with trouble, if a message
  std::unique_ptr<ShotCollection> m_openShot;  // pump()'s shot while its files transfer
  const std::string m_downloadFolder;          // where the process writes its files
  CFileLedger m_ledger;
  CTetherObserver* m_observer = nullptr;  // not owned
};
