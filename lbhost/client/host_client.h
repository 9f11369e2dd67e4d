// The host's side of the two pipes, as the photo application's remote-communication service
// plays it: start lensbridge.exe, connect to both pipes, send requests, receive replies and
// notifications, and reap the process. Used by lbhost.exe, the end-to-end tests and the
// start-up benchmark.
//
// Threads: one owner thread calls every method. A reader thread, owned by the client, reads
// the output pipe and appends each decoded message to the received queue; it is started by
// connect() and stopped (cancel, then join) by closeOutput() and the destructor.
//
// RAII: destroying the client stops the reader, closes both pipe ends and terminates the
// process if it still runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hostlink/pipe_names.h"
#include "platform/scoped_handles_win.h"
#include "lbhost/client/child_process.h"
#include "values/lua_value.h"

// One message received from the process. Owns its values.
struct HostMessage {
  std::uint32_t requestId = 0;
  std::unique_ptr<ZnLuaTE> name;     // a string value in every well-formed message
  std::unique_ptr<ZnLuaTE> payload;  // nil when the message has no payload
  // The text of the name, empty when the name is not a string value.
  std::string nameText() const;
  bool payloadIsNil() const;
};

// True when a pipe of that name exists at the moment (a server holds an instance).
bool HostPipeExists(const wchar_t* pipeName);

class CHostClient {
 public:
  static constexpr unsigned kDefaultWriteTimeoutMs = 5000;

  CHostClient() = default;
  ~CHostClient();

  CHostClient(const CHostClient&) = delete;
  CHostClient& operator=(const CHostClient&) = delete;

  // Starts the process (see CChildProcess::start).
  bool start(const std::string& exePath, std::string* error = nullptr,
             const std::vector<std::string>& args = {},
             const std::vector<std::pair<std::string, std::string>>& environment = {});

  // Opens the input pipe and then the output pipe, retrying until both are open or timeoutMs
  // has passed; gives up early when the started process has ended. Starts the reader thread.
  bool connect(unsigned timeoutMs, std::string* error = nullptr);

  bool startAndConnect(const std::string& exePath, unsigned timeoutMs,
                       std::string* error = nullptr);

  // Sends the request `name` with `payload` (null sends nil) under the next request id, and
  // returns that id; 0 (never used for requests) when the write failed.
  std::uint32_t send(const std::string& name, const ZnLuaTE* payload = nullptr);
  // Sends one message with a request id and name chosen by the caller.
  bool sendMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* payload);
  // Writes `bytes` as one pipe message, whatever they hold (an empty string writes a
  // zero-length message). False when the write failed or did not finish in time.
  bool sendRaw(const std::string& bytes);

  // Waits up to timeoutMs for the first received message that `match` accepts and takes it
  // out of the queue; messages that do not match stay queued for later waits.
  std::optional<HostMessage> waitFor(const std::function<bool(const HostMessage&)>& match,
                                     unsigned timeoutMs);
  std::optional<HostMessage> waitForReply(std::uint32_t requestId, unsigned timeoutMs);
  std::optional<HostMessage> waitForName(const std::string& name, unsigned timeoutMs);
  // Waits timeoutMs and then takes everything received so far (for "nothing arrives" checks
  // and for printing notifications).
  std::vector<HostMessage> collectFor(unsigned timeoutMs);
  std::vector<HostMessage> takeReceived();

  // Number of pipe messages that did not decode as a message; none should ever arrive.
  std::size_t undecodableCount() const;
  // True once the reader has seen the output pipe break (the process closed its end).
  bool outputBroken() const;

  void closeInput();
  void closeOutput();  // stops the reader thread first
  void closePipes();

  CChildProcess& process() { return m_process; }
  void setWriteTimeout(unsigned ms) { m_writeTimeoutMs = ms; }

 private:
  void readerLoop();

  CChildProcess m_process;
  CScopedKernelHandle m_input;  // write end of the request pipe, overlapped
  CScopedKernelHandle
      m_output;  // read end of the reply pipe, overlapped; used by the reader thread
  CScopedKernelHandle m_writeEvent;
  CScopedKernelHandle m_stopReader;  // manual-reset; set to make the reader thread end
  std::thread m_reader;
  std::uint32_t m_nextRequestId = 1;
  unsigned m_writeTimeoutMs = kDefaultWriteTimeoutMs;

  mutable std::mutex m_receivedMutex;  // guards m_received, m_undecodable, m_outputBroken
  std::condition_variable m_receivedChanged;
  std::deque<HostMessage> m_received;
  std::size_t m_undecodable = 0;
  bool m_outputBroken = false;
};
