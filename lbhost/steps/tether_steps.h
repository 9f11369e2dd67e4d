// The steps of an lbhost run against one lensbridge.exe: the process is started once, the
// camera connected at the first step that needs it, and every step reports to a CRunReport.
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
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lbhost/core/download_progress.h"
#include "lbhost/core/file_ledger.h"
#include "lbhost/client/host_session.h"
#include "lbhost/core/command_line.h"
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
};

class CTetherSteps {
 public:
  // `report` and `interrupted` are not owned and must outlive this object.
  CTetherSteps(const LbhostOptions& options, CRunReport& report,
               const std::atomic<bool>& interrupted);

  // Makes the --out folder and starts the process.
  bool start(std::string* error);
  // One step; false with *error and *errorKind.
  bool run(const Step& step, std::string* error, ErrorKind* errorKind);
  // "shutdown" and the process's end; a process that stopped answering is given a short
  // wait and then terminated. Every file the session leaves unsaved (announced after the
  // last step, or stranded by a failure) is then named on stderr and under "not_saved".
  bool shutdown(std::string* error);
  // Runs the hook for "stop" (when there is a hook); false with *error when it failed and
  // --hook-stops is given.
  bool finishHooks(std::string* error);

  // `observer` (not owned, may be null) must outlive this object or be replaced first.
  void setObserver(CTetherObserver* observer) { m_observer = observer; }
  // Connects the camera --device names, as the first step that needs it does.
  bool connectCamera(std::string* error) { return ensureConnected(error); }
  // Waits up to `ms` for what the camera does: a shot (of its own release, or of release())
  // is downloaded and saved as in a watch. A shot whose files are still transferring when
  // `ms` are over stays open for the next call, so the caller can take other commands
  // meanwhile. False with *error on trouble; cameraUnplugged() then tells an unplugged
  // camera apart.
  bool pump(unsigned ms, std::string* error);
  // Releases the shutter and returns at once; pump() collects the shot, and an "error" for
  // the release ends a pump() with it.
  bool release(std::string* error);
  // After cameraUnplugged(): waits until the camera is back and connects it again, for as
  // long as it takes or until `interrupted` is set.
  bool reconnectCamera(std::string* error);
  // Switches live view on or off, whichever it is now; *on receives the state after.
  bool switchLiveView(bool wanted, bool* on, std::string* error);
  bool readSettings(std::unique_ptr<ZnLuaTE>* table, std::string* error);

  bool cameraUnplugged() const { return m_unplugged; }
  // A shot's files are still transferring (see pump()).
  bool shotOpen() const { return m_openShot != nullptr; }
  // "camera", "process", "files", "hook" or "interrupted": what the last failure was about.
  ErrorKind errorKind() const { return m_errorKind; }
  const std::optional<CameraInfo>& camera() const { return m_camera; }
  // True when Ctrl+C ended the last step that ran, which then counts as done.
  bool endedByInterrupt() const { return m_endedByInterrupt; }
  const CFileLedger& ledger() const { return m_ledger; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Wait { Got, TimedOut, Trouble };
  struct Shot {
    std::vector<DownloadedFile> files;
    std::vector<std::string> savedPaths;  // where each file is now
    std::set<int> failed;                 // capture ids of the announced files that did not arrive
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
    // What the next wait waits for, for its progress line.
    std::string awaited() const;

    Shot shot;
    CDownloadProgress progress;
    // Until the first file: when it must have come. Then --timeout from the last progress.
    Clock::time_point deadline;
    bool noneIsFine;           // a shot that never comes is no failure (a watch, a pump)
    std::string what;          // what is awaited before the first file
    unsigned firstFileMs;      // the first file's wait, for its message
    std::size_t ended = 0;     // files complete or failed
    std::size_t sidecars = 0;  // announced files that carry the pair's mark
    bool partnerLost = false;  // a pair's other file failed before it was announced
    std::string failure;       // the first file's failure, told once the others have ended
  };
  enum class Collect { Waiting, Done, Failed };

  bool ensureConnected(std::string* error);
  // Waits for the first message `wanted` accepts, watching for trouble meanwhile; planned
  // pauses pass showProgress false.
  // Ctrl+C ends the wait only when `interruptible`.
  // With `shot`, the wait also ends at the shot's own deadline, which moves on to --timeout
  // from each moment its downloads grow, and the progress line says how far they have come.
  // The message that ended a wait with trouble is kept in m_trouble.
  Wait waitFor(const std::function<bool(const HostMessage&)>& wanted, Clock::time_point deadline,
               const std::string& what, std::optional<HostMessage>* got, std::string* error,
               bool showProgress = true, bool interruptible = false,
               ShotCollection* shot = nullptr);
  // Collects the shot until it is settled or `until`; Waiting when `until` came first.
  Collect advance(ShotCollection& c, Clock::time_point until, std::string* error);
  // When m_trouble is an "error" about a file of `c`, enters it there (the rest of the shot
  // is still awaited) and returns true.
  bool takeFileFailure(ShotCollection& c, const std::string& why);
  // True (with *error) when Ctrl+C asks that no new shot be started.
  bool stopRequested(const std::string& where, std::string* error);
  // Runs the hook for one action; false when the run must end (with *error).
  bool runHook(const std::string& action, const std::string& argument, std::string* error);
  // Moves a downloaded file to `target` whole or not at all; the final path in *saved.
  bool moveWhole(const std::string& from, const std::string& target, std::string* saved,
                 std::string* error);
  // Waits until the unplugged camera is back and connects it again.
  bool reconnect(Clock::time_point end, std::string* error);
  // The longest the camera may take for one release: the exposure plus --timeout.
  unsigned releaseWaitMs(std::string* error);
  std::optional<HostMessage> request(const std::string& name, const ZnLuaTE* params,
                                     std::string* error);

  bool takeShot(Shot* shot, std::string* error);
  // The files of one shot, announced and downloaded. Until the first file is announced the
  // wait lasts until firstFileDeadline, `firstFileMs` from now as the message tells (then
  // true with no files when noneIsFine); after that, the run's timeout without progress.
  // A file that fails is entered in shot->failed and the others are still awaited; the
  // shot then ends false with the first failure.
  bool collectShot(Clock::time_point firstFileDeadline, bool noneIsFine, const std::string& what,
                   Shot* shot, std::string* error, unsigned firstFileMs);
  bool saveShot(Shot* shot, std::string* error);
  // Saves the files of a shot that arrived, also when collecting it failed (`collected`
  // false, *error saying why): nothing that came is left behind unnamed.
  bool keepShot(bool collected, Shot* shot, std::string* error);
  // Lines and JSON for the files of a shot that arrived; the observer hears of a `whole` one.
  void reportShot(const Shot& shot, const std::string& label, nlohmann::json* files, bool whole);
  bool driveFocus(int direction, std::string* error);

  bool runList(std::string* error);
  bool runSettings(std::string* error);
  bool runGet(const Step& step, std::string* error);
  bool runSet(const Step& step, std::string* error);
  bool runCapture(const Step& step, std::string* error);
  bool runWatch(const Step& step, std::string* error);
  bool runTimelapse(const Step& step, std::string* error);
  bool runStack(const Step& step, std::string* error);
  bool runLiveView(const Step& step, std::string* error);
  bool runFocus(const Step& step, std::string* error);
  bool runAf(const Step& step, std::string* error);
  bool runSend(const Step& step, std::string* error);

  const LbhostOptions& m_options;
  CRunReport& m_report;                    // not owned
  const std::atomic<bool>& m_interrupted;  // not owned
  CHostSession m_session;
  std::string m_outFolder;             // --out as a full path, or empty
  std::optional<CameraInfo> m_camera;  // the connected camera
  nlohmann::json* m_step = nullptr;    // the report's entry of the running step
  long long m_shotCounter = -1;        // the last {n} given; -1 until the first shot is saved
  bool m_unresponsive = false;
  bool m_unplugged = false;  // the last trouble was the camera's "deviceRemoved"
  bool m_endedByInterrupt = false;
  bool m_quietCamera = false;            // the connection's line goes to stderr
  std::optional<HostMessage> m_trouble;  // what ended the last wait with trouble, if a message
  std::unique_ptr<ShotCollection> m_openShot;  // pump()'s shot while its files transfer
  const std::string m_downloadFolder;          // where the process writes its files
  CFileLedger m_ledger;
  ErrorKind m_errorKind = ErrorKind::Camera;
  CTetherObserver* m_observer = nullptr;  // not owned
};
