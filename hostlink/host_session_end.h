// The end of a host session, asked for by the camera thread once "shutdown" has run: the pipe
// thread sends everything queued before it, then "shutdownComplete" with the request's id, and
// ends the session. One instance a session, so nothing of one session's end reaches the next.
//
// Threads: request() on any thread (the camera thread); requestedId() on the pipe thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "hostlink/outgoing_queue.h"

class CHostSessionEnd {
 public:
  void request(std::uint32_t requestId) {
    m_state.store(kRequested | requestId);
    // The pipe thread may be waiting for a request or a queued message; a wake-up of its own
    // lets it see the end.
    WakeOutgoingQueue();
  }
  std::optional<std::uint32_t> requestedId() const {
    const std::uint64_t state = m_state.load();
    if (!(state & kRequested)) return std::nullopt;
    return static_cast<std::uint32_t>(state);
  }

 private:
  static constexpr std::uint64_t kRequested = std::uint64_t{1} << 32;
  std::atomic<std::uint64_t> m_state{0};  // kRequested with the request id in the low half
};
