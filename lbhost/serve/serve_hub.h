// What lbhost serve's camera thread and its web thread share: the state a new page starts
// from, the events that keep pages current, each camera's newest live-view frame, the
// session's pictures and rig shots, and the steps that pages send.
//
// Nothing here waits for a client. Each client pulls what it has not had yet when it is ready
// for more: a slow one gets each camera's newest frame and skips the ones between, the cameras
// of a rig taking turns so that one sending many frames cannot crowd out another; one that
// falls more than the kept events behind is told to start again from the state. So memory
// stays bounded however many frames and events pass.
//
// Threads: the camera thread publishes and takes commands; the web thread reads and submits.
// Every method takes m_mutex; the wake callback is called after it is released.
// Portable.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "lbhost/serve/serve_access.h"

class CServeHub {
 public:
  static constexpr std::size_t kEventsKept = 256;
  static constexpr std::size_t kCommandsWaiting = 8;

  // `wake` (may be empty) is called on the publishing thread after every change that a
  // client may be waiting for.
  explicit CServeHub(std::function<void()> wake = {});

  // The part `kind` of the state ("camera", "helper", "settings", "liveview", "job", "rig") is
  // now `data`; pages get it as the event `kind`.
  void publish(const std::string& kind, const nlohmann::json& data);
  // A passing message for the page ("the camera did not take f/22"), not part of the state.
  void notice(const std::string& text);
  // The newest frame of camera `device` (0: the one camera of a session that is no rig).
  void setFrame(std::string jpeg, std::uint32_t device = 0);

  // Pictures, numbered from 1 in the order the camera announced them. `labels` (an object,
  // may be empty) go to the page with the picture: in a rig its camera and rig shot.
  int addPicture(int captureId, const std::string& name, long long size,
                 const nlohmann::json& labels = nlohmann::json::object());
  // The announced picture of this capture and name that is not yet complete, or 0.
  int pendingPicture(int captureId, const std::string& name) const;
  // state: "downloading", "downloaded", "complete" or "error"; `path` where it is for good
  // (complete), whose file name it is shown by from then on; `error` why it failed.
  void updatePicture(int id, const std::string& state, const std::string& path = {},
                     const std::string& error = {});
  // Marks every picture not yet complete as failed with `error`.
  void failPending(const std::string& error);
  // A rig shot once its cameras have reported: {"rig_shot": k, "skew_ms": ..., "cameras": [...]};
  // pages get it as the event "rigshot" and in the state's "rigshots".
  void addRigShot(const nlohmann::json& shot);
  // The file of a complete JPEG picture; nothing for any other number.
  std::optional<std::string> picturePath(int id) const;

  // The whole state as events ("state" first), and in *next the number of the event after it.
  std::string snapshot(std::uint64_t* next) const;
  // Appends the events from *next on to *out and moves *next past them; false when some of
  // them are no longer kept (the client must start again from the snapshot).
  bool eventsSince(std::uint64_t* next, std::string* out) const;
  // What one live-view client has been sent: the newest frame number of each camera, and the
  // camera whose frame came last.
  struct FrameCursor {
    std::map<std::uint32_t, std::uint64_t> seen;
    std::uint32_t last = 0;
  };
  struct Frame {
    std::uint32_t device = 0;
    std::shared_ptr<const std::string> jpeg;  // null: nothing new
  };
  // The newest frame of the first camera after cursor->last, going round, that has one the
  // client was not sent; the cursor moves past it.
  Frame nextFrame(FrameCursor* cursor) const;

  // A step from a page; false with *refusal (the camera is absent or busy, or too many
  // wait). "stop" is never queued: it sets stopFlag() at once.
  bool submit(const Step& step, std::string* refusal);
  std::optional<Step> takeCommand();
  // Whether commands are taken now, and the sentence that refuses them when they are not.
  void setAvailability(bool cameraReady, const std::string& whyNot);
  // A long job (a stack, a timelapse, a capture) runs: only "stop" is taken meanwhile. An
  // empty `job` ends it and clears the stop flag.
  void setBusy(const std::string& job);
  // Set by "stop" and by Ctrl+C; read by the camera thread's steps; cleared when a job ends.
  std::atomic<bool>& stopFlag() { return m_stop; }

 private:
  struct Picture {
    int captureId = 0;
    std::string name;
    long long size = 0;
    std::string state;
    std::string path;
    std::string error;
    nlohmann::json labels;
  };
  nlohmann::json pictureJson(int id, const Picture& picture) const;
  void append(const std::string& name, const nlohmann::json& data);  // m_mutex held
  void wake();

  std::function<void()> m_wake;
  mutable std::mutex m_mutex;  // guards everything below but m_stop
  nlohmann::json m_state = nlohmann::json::object();
  std::deque<std::string> m_events;  // the newest kEventsKept, already formatted
  std::uint64_t m_nextEvent = 0;     // the number of the event after the newest
  struct CameraFrame {
    std::shared_ptr<const std::string> jpeg;
    std::uint64_t number = 0;  // from m_frameNumber, so a camera's numbers only grow
  };
  std::map<std::uint32_t, CameraFrame> m_frames;  // by device id
  std::uint64_t m_frameNumber = 0;
  std::map<int, Picture> m_pictures;
  std::map<int, nlohmann::json> m_rigShots;  // by rig shot
  std::deque<Step> m_commands;
  bool m_cameraReady = false;
  std::string m_whyNot = "lbhost is starting the camera";
  std::string m_busy;  // the running job, or empty
  std::atomic<bool> m_stop{false};
};

// A JPEG is shown in the page; any other file (a RAW) by its name and size.
bool IsJpegName(const std::string& name);
