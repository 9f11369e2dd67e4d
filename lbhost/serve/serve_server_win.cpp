#include "lbhost/serve/serve_server_win.h"

// Asio brings winsock2.h in before windows.h, as it must come.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <windows.h>
#include <bcrypt.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <optional>
#include <sstream>

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using std::chrono::seconds;

// A connection that has not sent its whole first request by then is closed, so idle
// connections cannot keep the places; one refused for lack of room gets less.
constexpr seconds kFirstRequestTime{5};
constexpr seconds kRefusedRequestTime{2};
constexpr seconds kNextRequestTime{60};
constexpr seconds kEventPingEvery{15};
// The largest picture served: a JPEG is far smaller, and nothing else is served.
const std::string kNoRoomForPages =
    "lbhost shows the camera on " + std::to_string(CServeServer::kMaxStreams) +
    " pages at once and has no room for another. Close one of them, then load "
    "this page again.";
constexpr std::uintmax_t kLargestPicture = 64u << 20;
// A stream's socket takes no more than this ahead of its client. Left to itself the system
// grows the buffer to megabytes (Linux under Wine does), so a client that reads nothing would
// seem to take frames for minutes before a write ever waited.
constexpr int kStreamSendBuffer = 256 * 1024;
// A stream is written a piece at a time, so that every piece the socket takes counts as progress.
constexpr std::size_t kStreamWritePiece = 64 * 1024;

// One resource of lbhost.exe (RCDATA), or empty.
std::string Resource(const wchar_t* name) {
  HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10));  // RT_RCDATA
  HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  return bytes ? std::string(static_cast<const char*>(bytes), SizeofResource(nullptr, found))
               : std::string();
}

// What every answer carries: nothing is cached (pictures are the session's, the page is
// lbhost's own), nothing is loaded from elsewhere, and no other site may frame the page.
template <class Message>
void AddCommonHeaders(Message& message) {
  message.set(http::field::server, "lbhost");
  message.set(http::field::cache_control, "no-store");
  message.set("X-Content-Type-Options", "nosniff");
  message.set("Referrer-Policy", "no-referrer");
  message.set("X-Frame-Options", "DENY");
  message.set("Content-Security-Policy",
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
              "connect-src 'self'; frame-ancestors 'none'; form-action 'none'; base-uri 'none'");
}

}  // namespace

struct CServeServer::Impl {
  Impl(CServeHub& hubIn, const CServeAccess& accessIn) : hub(hubIn), access(accessIn) {}

  void accept();
  void wakeAll();
  void watchInterrupt();

  // Declared before io: the connections that io's handlers hold when it is destroyed give
  // their slots back into these.
  CServeHub& hub;                                                         // not owned
  const CServeAccess& access;                                             // not owned
  const std::atomic<bool>* interrupted = nullptr;                         // not owned
  CServeAdmission admission{kMaxConnections, kMaxConnectionsPerAddress};  // web thread only
  std::list<std::weak_ptr<class CStream>> frameStreams;                   // web thread only
  std::list<std::weak_ptr<class CStream>> eventStreams;                   // web thread only
  std::atomic<bool> wakePosted{false};
  std::string page, style, script;  // the page's files, from the resources

  net::io_context io{1};
  tcp::acceptor acceptor{io};
  net::steady_timer interruptTimer{io};
};

namespace {

// A connection's place, served or refused, taken from the admission when it is accepted and
// given back when the connection ends.
class CConnectionSlot {
 public:
  CConnectionSlot(CServeServer::Impl* server, std::string address)
      : m_server(server),
        m_address(std::move(address)),
        m_verdict(server->admission.admit(m_address)) {}
  ~CConnectionSlot() { m_server->admission.release(m_address, m_verdict); }
  CConnectionSlot(const CConnectionSlot&) = delete;
  CConnectionSlot& operator=(const CConnectionSlot&) = delete;

  CServeAdmission::Verdict verdict() const { return m_verdict; }

 private:
  CServeServer::Impl* m_server;  // not owned; outlives every connection
  std::string m_address;
  CServeAdmission::Verdict m_verdict;
};

}  // namespace

// A live-view or event stream: after its header, it writes whatever the hub has that it has
// not had yet, one write at a time, and waits for wake() when there is nothing. Web thread only.
class CStream : public std::enable_shared_from_this<CStream> {
 public:
  enum class Kind { Frames, Events };

  CStream(CServeServer::Impl* server, tcp::socket socket, Kind kind,
          std::unique_ptr<CConnectionSlot> slot)
      : m_server(server),
        m_socket(std::move(socket)),
        m_kind(kind),
        m_slot(std::move(slot)),
        m_progressTimer(m_socket.get_executor()),
        m_pingTimer(m_socket.get_executor()) {
    boost::system::error_code ignored;
    m_socket.set_option(net::socket_base::send_buffer_size(kStreamSendBuffer), ignored);
  }

  void start(std::string header) {
    m_text = std::move(header);
    if (m_kind == Kind::Events) {
      m_text += "retry: 1000\n\n" + m_server->hub.snapshot(&m_nextEvent);
      ping();
    }
    watchForClose();
    writeNext();
  }

  // Called when the hub may have something new.
  void poke() { writeNext(); }
  // Closed streams hold no place, even while a handler of theirs is still to run.
  bool closed() const { return m_closed; }

 private:
  void writeNext() {
    if (m_writing || m_closed) return;
    std::vector<net::const_buffer> buffers;
    if (m_kind == Kind::Events || !m_text.empty()) {
      // A client too far behind starts again from the whole state instead of a backlog.
      if (m_kind == Kind::Events && !m_server->hub.eventsSince(&m_nextEvent, &m_text)) {
        m_text += m_server->hub.snapshot(&m_nextEvent);
      }
      if (!m_text.empty()) buffers.push_back(net::buffer(m_text));
    }
    if (m_kind == Kind::Frames) {
      // Only a camera's newest frame is ever sent: the ones a slow client missed are dropped.
      // Each part names its camera, as a rig's cameras share the stream.
      const CServeHub::Frame next = m_server->hub.nextFrame(&m_frames);
      m_frame = next.jpeg;
      if (m_frame) {
        m_partHeader = "--lbframe\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(m_frame->size()) +
                       "\r\nX-Device-Id: " + std::to_string(next.device) + "\r\n\r\n";
        buffers.push_back(net::buffer(m_partHeader));
        buffers.push_back(net::buffer(*m_frame));
        buffers.push_back(net::buffer("\r\n", 2));
      }
    }
    if (buffers.empty()) return;
    m_writing = true;
    m_progressAt = std::chrono::steady_clock::now();
    watchProgress();
    auto piece = [self = shared_from_this()](const boost::system::error_code& ec,
                                             std::size_t written) {
      if (written != 0) self->m_progressAt = std::chrono::steady_clock::now();
      return ec ? std::size_t{0} : kStreamWritePiece;
    };
    net::async_write(m_socket, buffers, piece,
                     [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                       self->m_writing = false;
                       self->m_text.clear();
                       self->m_frame.reset();
                       if (ec) {
                         self->close();
                         return;
                       }
                       self->writeNext();
                     });
  }

  // A client whose socket has taken nothing for kStreamWriteSeconds while a write waits is
  // dropped: a phone gone to sleep, a laptop whose lid was closed, a client that reads nothing.
  // Its place goes to a page that shows the camera.
  void watchProgress() {
    if (m_watching) return;
    m_watching = true;
    m_progressTimer.expires_at(m_progressAt + seconds(CServeServer::kStreamWriteSeconds));
    m_progressTimer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      self->m_watching = false;
      if (ec || self->m_closed || !self->m_writing) return;
      if (std::chrono::steady_clock::now() - self->m_progressAt <
          seconds(CServeServer::kStreamWriteSeconds)) {
        self->watchProgress();
        return;
      }
      self->close(true);
    });
  }

  // The client never sends more after its request: a read ends only when it goes away,
  // which frees its place at once even when nothing is being written to it.
  void watchForClose() {
    m_socket.async_read_some(
        net::buffer(m_discard),
        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
          if (ec) {
            self->close();
          } else {
            self->watchForClose();
          }
        });
  }

  // A comment line now and then keeps proxies and phones from taking the stream for dead.
  void ping() {
    m_pingTimer.expires_after(kEventPingEvery);
    m_pingTimer.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
      if (ec || self->m_closed) return;
      if (!self->m_writing) {
        self->m_text += ": ping\n\n";
        self->writeNext();
      }
      self->ping();
    });
  }

  // `reset` drops a client that takes nothing: the connection is reset rather than closed in
  // order, as the data it did not take would keep it and its buffers in the system long after.
  void close(bool reset = false) {
    if (m_closed) return;
    m_closed = true;
    boost::system::error_code ignored;
    // Wine's closesocket leaves a pending send pending, and the socket open with it; a
    // send is cancelled only when asked.
    m_socket.cancel(ignored);
    if (reset) {
      m_socket.set_option(tcp::socket::linger(true, 0), ignored);
    } else {
      m_socket.shutdown(tcp::socket::shutdown_both, ignored);
    }
    m_socket.close(ignored);
    m_progressTimer.cancel();
    m_pingTimer.cancel();
    // Its places are free at once: under Wine a send can outlive the cancel, and with it
    // this stream.
    m_slot.reset();
  }

  CServeServer::Impl* m_server;  // not owned
  tcp::socket m_socket;
  Kind m_kind;
  std::unique_ptr<CConnectionSlot> m_slot;
  net::steady_timer m_progressTimer;
  net::steady_timer m_pingTimer;
  std::chrono::steady_clock::time_point
      m_progressAt;         // when the socket last took bytes, or the write began
  bool m_watching = false;  // m_progressTimer is waiting
  bool m_writing = false;
  bool m_closed = false;
  std::string m_text;  // the header, then events; kept until its write completes
  std::shared_ptr<const std::string> m_frame;  // the frame being written
  std::string m_partHeader;
  std::uint64_t m_nextEvent = 0;
  CServeHub::FrameCursor m_frames;
  char m_discard[256];
};

namespace {

// One connection's requests, until it closes, is refused or becomes a stream. Web thread only.
class CHttpSession : public std::enable_shared_from_this<CHttpSession> {
 public:
  CHttpSession(CServeServer::Impl* server, tcp::socket socket,
               std::unique_ptr<CConnectionSlot> slot)
      : m_server(server),
        m_stream(std::move(socket)),
        m_slot(std::move(slot)),
        m_refuse(m_slot->verdict() != CServeAdmission::Verdict::Serve) {}

  void start() { read(); }

 private:
  void read() {
    m_parser.emplace();
    m_parser->header_limit(8 * 1024);
    m_parser->body_limit(16 * 1024);
    m_stream.expires_after(m_refuse          ? kRefusedRequestTime
                           : m_requests == 0 ? kFirstRequestTime
                                             : kNextRequestTime);
    http::async_read(
        m_stream, m_buffer, *m_parser,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec) {
      // A client that went, was too slow or sent more than a request may hold: the
      // connection ends, and nothing else is touched.
      close();
      return;
    }
    ++m_requests;
    handle(m_parser->release());
  }

  void handle(const http::request<http::string_body>& request) {
    if (m_refuse) {
      const bool full = m_slot->verdict() == CServeAdmission::Verdict::Full;
      sendPage(
          http::status::service_unavailable,
          "lbhost serves " +
              (full ? std::to_string(CServeServer::kMaxConnections) + " connections at once"
                    : std::to_string(CServeServer::kMaxConnectionsPerAddress) +
                          " connections from one device at once") +
              " and has no room for another. Close pages of it that you no longer use, then load "
              "this one again.",
          false);
      return;
    }
    ServeRequest asked;
    asked.method = std::string(request.method_string());
    asked.target = std::string(request.target());
    asked.host = std::string(request[http::field::host]);
    asked.hostHeaders = request.count(http::field::host);
    asked.origin = std::string(request[http::field::origin]);
    const ServeDecision decision = m_server->access.decide(asked);
    if (decision.status != 200) {
      sendPage(static_cast<http::status>(decision.status), decision.reason, false);
      return;
    }
    const bool keepAlive = request.keep_alive();
    switch (decision.route) {
      case ServeRoute::Page:
        // A page that would get no live view and no events is refused at once, with a reason.
        if (streamsFull(m_server->eventStreams)) {
          sendPage(http::status::service_unavailable, kNoRoomForPages, false);
          return;
        }
        sendText(m_server->page, "text/html; charset=utf-8", keepAlive);
        return;
      case ServeRoute::Style:
        sendText(m_server->style, "text/css; charset=utf-8", keepAlive);
        return;
      case ServeRoute::Script:
        sendText(m_server->script, "text/javascript; charset=utf-8", keepAlive);
        return;
      case ServeRoute::AddSlash: {
        auto response = std::make_shared<http::response<http::string_body>>(
            http::status::moved_permanently, 11);
        response->set(http::field::location, "/" + m_server->access.token() + "/");
        send(response, keepAlive);
        return;
      }
      case ServeRoute::Picture:
        sendPicture(std::stoi(decision.argument), keepAlive);
        return;
      case ServeRoute::Command:
        command(decision.argument, request.body(), keepAlive);
        return;
      case ServeRoute::Live:
        startStream(CStream::Kind::Frames);
        return;
      case ServeRoute::Events:
        startStream(CStream::Kind::Events);
        return;
    }
  }

  void command(const std::string& action, const std::string& body, bool keepAlive) {
    Result<Step> step = ParsePageCommand(action, body);
    std::string error = step ? std::string() : step.failure().message;
    http::status status = step ? http::status::accepted : http::status::bad_request;
    if (step && !m_server->hub.submit(*step, &error)) status = http::status::conflict;
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "application/json");
    response->body() =
        (error.empty() ? nlohmann::json{{"ok", true}} : nlohmann::json{{"error", error}}).dump();
    send(response, keepAlive);
  }

  void sendPicture(int id, bool keepAlive) {
    const std::optional<std::string> path = m_server->hub.picturePath(id);
    std::string bytes;
    std::string problem = "There is no picture " + std::to_string(id) + " of this session to show.";
    if (path) {
      // The path is the session's own record of where it saved the picture.
      std::error_code ec;
      const std::filesystem::path file = std::filesystem::u8path(*path);
      const std::uintmax_t size = std::filesystem::file_size(file, ec);
      std::ifstream in(file, std::ios::binary);
      if (!ec && size <= kLargestPicture && in) {
        bytes.assign(std::istreambuf_iterator<char>(in), {});
        problem.clear();
      } else {
        problem = "The picture is no longer where lbhost saved it (" + *path + ").";
      }
    }
    if (!problem.empty()) {
      sendPage(http::status::not_found, problem, keepAlive);
      return;
    }
    auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, 11);
    response->set(http::field::content_type, "image/jpeg");
    response->body() = std::move(bytes);
    send(response, keepAlive);
  }

  void startStream(CStream::Kind kind) {
    auto& streams = kind == CStream::Kind::Frames ? m_server->frameStreams : m_server->eventStreams;
    if (streamsFull(streams)) {
      sendPage(http::status::service_unavailable, kNoRoomForPages, false);
      return;
    }
    http::response<http::empty_body> header{http::status::ok, 11};
    header.set(http::field::content_type, kind == CStream::Kind::Frames
                                              ? "multipart/x-mixed-replace; boundary=lbframe"
                                              : "text/event-stream; charset=utf-8");
    header.keep_alive(false);
    AddCommonHeaders(header);
    std::ostringstream text;
    text << header.base();
    m_stream.expires_never();
    auto stream =
        std::make_shared<CStream>(m_server, m_stream.release_socket(), kind, std::move(m_slot));
    streams.push_back(stream);
    stream->start(text.str());
  }

  static bool streamsFull(std::list<std::weak_ptr<CStream>>& streams) {
    streams.remove_if([](const std::weak_ptr<CStream>& s) {
      const auto stream = s.lock();
      return !stream || stream->closed();
    });
    return static_cast<int>(streams.size()) >= CServeServer::kMaxStreams;
  }

  void sendText(const std::string& body, const char* type, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, 11);
    response->set(http::field::content_type, type);
    response->body() = body;
    send(response, keepAlive);
  }

  // A refusal or a problem as a small page a person can read.
  void sendPage(http::status status, const std::string& reason, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::content_type, "text/html; charset=utf-8");
    response->body() = ServeProblemPage(static_cast<int>(status),
                                        std::string(http::obsolete_reason(status)), reason);
    send(response, keepAlive);
  }

  void send(const std::shared_ptr<http::response<http::string_body>>& response, bool keepAlive) {
    response->keep_alive(keepAlive);
    AddCommonHeaders(*response);
    response->prepare_payload();
    m_stream.expires_after(seconds(CServeServer::kStreamWriteSeconds));
    http::async_write(m_stream, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec || !response->keep_alive()) {
                          self->close();
                          return;
                        }
                        self->read();
                      });
  }

  void close() {
    beast::error_code ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_stream.close();
  }

  CServeServer::Impl* m_server;  // not owned
  beast::tcp_stream m_stream;
  beast::flat_buffer m_buffer;
  std::optional<http::request_parser<http::string_body>> m_parser;
  std::unique_ptr<CConnectionSlot> m_slot;  // handed to the stream this may become
  bool m_refuse;
  int m_requests = 0;
};

}  // namespace

void CServeServer::Impl::accept() {
  acceptor.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    boost::system::error_code gone;
    const tcp::endpoint client = ec ? tcp::endpoint() : socket.remote_endpoint(gone);
    if (!ec && !gone) {
      auto slot = std::make_unique<CConnectionSlot>(this, client.address().to_string());
      // Past the refusals' bound a connection is not even read: a flood costs a socket each.
      if (slot->verdict() != CServeAdmission::Verdict::Drop) {
        std::make_shared<CHttpSession>(this, std::move(socket), std::move(slot))->start();
      }
    }
    accept();
  });
}

void CServeServer::Impl::wakeAll() {
  for (auto* streams : {&frameStreams, &eventStreams}) {
    for (auto it = streams->begin(); it != streams->end();) {
      if (auto stream = it->lock()) {
        stream->poke();
        ++it;
      } else {
        it = streams->erase(it);
      }
    }
  }
}

void CServeServer::Impl::watchInterrupt() {
  interruptTimer.expires_after(std::chrono::milliseconds(100));
  interruptTimer.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;
    if (interrupted && *interrupted) hub.stopFlag() = true;
    watchInterrupt();
  });
}

CServeServer::CServeServer(CServeHub& hub, const CServeAccess& access)
    : m_impl(std::make_unique<Impl>(hub, access)) {
  m_impl->page = Resource(L"SERVE_PAGE_HTML");
  m_impl->style = Resource(L"SERVE_PAGE_CSS");
  m_impl->script = Resource(L"SERVE_PAGE_JS");
}

CServeServer::~CServeServer() { stop(); }

bool CServeServer::listen(const std::string& host, unsigned short port, std::string* error) {
  boost::system::error_code ec;
  const tcp::endpoint endpoint(net::ip::make_address(host, ec), port);
  if (!ec) m_impl->acceptor.open(endpoint.protocol(), ec);
  // On :: the IPv4 addresses are served too, whatever the system's default.
  if (!ec && endpoint.address().is_v6()) m_impl->acceptor.set_option(net::ip::v6_only(false), ec);
  // No SO_REUSEADDR: on Windows it would let a second server take the port from the first.
  // SO_EXCLUSIVEADDRUSE keeps another program from binding the same port on a more specific
  // address and taking the page's requests; where it is not known the bind goes on without.
  if (!ec) {
    boost::system::error_code ignored;
    m_impl->acceptor.set_option(
        net::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>(true), ignored);
    m_impl->acceptor.bind(endpoint, ec);
  }
  if (!ec) m_impl->acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    // Wine words some socket errors as "Unknown error"; the one that matters is said here.
    *error =
        "could not listen on " + host + ":" + std::to_string(port) + ": " +
        (ec == net::error::address_in_use
             ? std::string("another program, perhaps another lbhost serve, has the port (--listen "
                           "chooses another)")
         : ec.value() == WSAEADDRNOTAVAIL
             ? std::string("this computer has no such address (0.0.0.0 listens on all of them)")
             : ec.message());
    return false;
  }
  if (m_impl->page.empty() || m_impl->style.empty() || m_impl->script.empty()) {
    *error = "lbhost.exe lacks its page (its resources are missing): it was built wrongly";
    return false;
  }
  return true;
}

void CServeServer::start(const std::atomic<bool>* interrupted) {
  m_impl->interrupted = interrupted;
  m_impl->accept();
  m_impl->watchInterrupt();
  m_thread = std::thread([impl = m_impl.get()] {
    // A handler that throws (memory running out, a library's surprise) costs the request it
    // served, not the server: the loop goes on with the rest.
    for (;;) {
      try {
        impl->io.run();
        return;
      } catch (const std::exception& e) {
        std::fprintf(stderr, "lbhost: serve: a request failed: %s\n", e.what());
      }
    }
  });
}

void CServeServer::wake() {
  // Many changes in a row cost one pass over the streams.
  if (m_impl->wakePosted.exchange(true)) return;
  net::post(m_impl->io, [impl = m_impl.get()] {
    impl->wakePosted = false;
    impl->wakeAll();
  });
}

void CServeServer::stop() {
  m_impl->io.stop();
  if (m_thread.joinable()) m_thread.join();
}

std::string MakeServeToken() {
  unsigned char bytes[16];
  if (BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    return std::string();
  return ServeTokenText(bytes, sizeof bytes);
}

std::string MachineName() {
  boost::system::error_code ec;
  const std::string name = net::ip::host_name(ec);
  return ec ? std::string() : name;
}

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> addresses;
  boost::system::error_code ec;
  net::io_context io;
  tcp::resolver resolver(io);
  const auto results = resolver.resolve(tcp::v4(), MachineName(), "", ec);
  if (ec) return addresses;
  for (const auto& entry : results) {
    const auto address = entry.endpoint().address();
    if (!address.is_loopback()) addresses.push_back(address.to_string());
  }
  return addresses;
}
