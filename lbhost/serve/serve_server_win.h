// lbhost serve's web side: Boost.Beast on one Asio thread, serving the page carried in
// lbhost.exe's resources, the live-view MJPEG stream, the event stream, the session's
// pictures and the page's commands.
//
// Bounds: at most kMaxConnections connections at once and kMaxConnectionsPerAddress from one
// client address (the rest get a page that says so and are closed), at most kMaxStreams
// live-view and kMaxStreams event streams, a connection's first request within 5 s, and a
// stream whose socket takes nothing for kStreamWriteSeconds while it writes is closed. A stream
// never queues: it asks the hub for what is new when its last write is done.
//
// Threads: start() starts the web thread; wake() may be called from any thread; stop() from
// the thread that called start(). The hub and the access rules must outlive the server.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lbhost/serve/serve_access.h"
#include "lbhost/serve/serve_hub.h"

class CServeServer {
 public:
  static constexpr int kMaxConnections = 24;
  static constexpr int kMaxConnectionsPerAddress = kMaxConnections / 2;
  static constexpr int kMaxStreams = 4;
  static constexpr int kStreamWriteSeconds = 20;

  // Neither is owned.
  CServeServer(CServeHub& hub, const CServeAccess& access);
  ~CServeServer();  // stops the web thread

  // Listens on host:port; false with *error (the port is taken, the address is not ours).
  bool listen(const std::string& host, unsigned short port, std::string* error);
  // Starts the web thread. `interrupted` (not owned) is watched there: once it is set, the
  // hub's stop flag is kept set so that a running step ends.
  void start(const std::atomic<bool>* interrupted);
  // Something new is in the hub: streams that wait for it are given it.
  void wake();
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> m_impl;
  std::thread m_thread;
};

// 16 random bytes from the system's generator as hex; empty when the generator failed.
std::string MakeServeToken();
// This machine's host name ("mypc"), empty when it cannot be had.
std::string MachineName();
// This machine's IPv4 addresses other than loopback, for printing the address a phone opens.
std::vector<std::string> LocalIpv4Addresses();
