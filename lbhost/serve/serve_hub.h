// What lbhost serve's camera thread and its web thread share: the state a new page starts
// from, the events that keep pages current, the newest live-view frame, the session's
// pictures and the steps that pages send.
//
// Nothing here waits for a client. Each client pulls what it has not had yet when it is ready
// for more: a slow one gets the newest frame and skips the ones between, and one that falls
// more than the kept events behind is told to start again from the state, so memory stays
// bounded however many frames and events pass.
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

  // The part `kind` of the state ("camera", "helper", "settings", "liveview", "job") is now
  // `data`; pages get it as the event `kind`.
  void publish(const std::string& kind, const nlohmann::json& data);
  // A passing message for the page ("the camera did not take f/22"), not part of the state.
  void notice(const std::string& text);
  void setFrame(std::string jpeg);

  // Pictures, numbered from 1 in the order the camera announced them.
  int addPicture(int captureId, const std::string& name, long long size);
  // The announced picture of this capture and name that is not yet complete, or 0.
  int pendingPicture(int captureId, const std::string& name) const;
  // state: "downloading", "downloaded", "complete" or "error"; `path` where it is for good
  // (complete), whose file name it is shown by from then on; `error` why it failed.
  void updatePicture(int id, const std::string& state, const std::string& path = {},
                     const std::string& error = {});
  // Marks every picture not yet complete as failed with `error`.
  void failPending(const std::string& error);
  // The file of a complete JPEG picture; nothing for any other number.
  std::optional<std::string> picturePath(int id) const;

  // The whole state as events ("state" first), and in *next the number of the event after it.
  std::string snapshot(std::uint64_t* next) const;
  // Appends the events from *next on to *out and moves *next past them; false when some of
  // them are no longer kept (the client must start again from the snapshot).
  bool eventsSince(std::uint64_t* next, std::string* out) const;
  // The newest frame when it is newer than *seen (then *seen becomes its number), else null.
  std::shared_ptr<const std::string> frameAfter(std::uint64_t* seen) const;

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
  };
  nlohmann::json pictureJson(int id, const Picture& picture) const;
  void append(const std::string& name, const nlohmann::json& data);  // m_mutex held
  void wake();

  std::function<void()> m_wake;
  mutable std::mutex m_mutex;  // guards everything below but m_stop
  nlohmann::json m_state = nlohmann::json::object();
  std::deque<std::string> m_events;  // the newest kEventsKept, already formatted
  std::uint64_t m_nextEvent = 0;     // the number of the event after the newest
  std::shared_ptr<const std::string> m_frame;
  std::uint64_t m_frameNumber = 0;
  std::map<int, Picture> m_pictures;
  std::deque<Step> m_commands;
  bool m_cameraReady = false;
  std::string m_whyNot = "lbhost is starting the camera";
  std::string m_busy;  // the running job, or empty
  std::atomic<bool> m_stop{false};
};

// A JPEG is shown in the page; any other file (a RAW) by its name and size.
bool IsJpegName(const std::string& name);
