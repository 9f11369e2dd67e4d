#include "hostlink/pipe_transport_win.h"

#include <objbase.h>
#include <sddl.h>

#include <memory>
#include <string>

#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "platform/scoped_handles_win.h"
#include "platform/trace.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

constexpr DWORD kPipeBufferSize = 0x200000;
constexpr DWORD kIdleWaitMs = 1000;
// How often a pipe name held by another process is tried again.
constexpr DWORD kPipeRetryIntervalMs = 200;

// Only the user who started us (the pipe's owner) and SYSTEM may open the pipes; with the
// default descriptor other local accounts could read the host's traffic or inject commands.
constexpr wchar_t kPipeSecurity[] = L"D:P(A;;GA;;;SY)(A;;GA;;;OW)";

// Writes one block to a pipe that was opened for overlapped I/O and waits for the end: a
// pipe handle opened with FILE_FLAG_OVERLAPPED must be given an OVERLAPPED for every call,
// or the system may report a write as done before it is. WriteFile resets the event itself;
// under Wine every ResetEvent of ours would be one more server call on each reply's way.
int WriteFrameToPipe(HANDLE pipe, const std::string& frame, HANDLE writeEvent) {
  const DWORD size = static_cast<DWORD>(frame.size());
  OVERLAPPED overlapped = {};
  overlapped.hEvent = writeEvent;
  DWORD written = 0;
  BOOL ok = WriteFile(pipe, frame.data(), size, nullptr, &overlapped);
  if (ok || GetLastError() == ERROR_IO_PENDING) {
    ok = GetOverlappedResult(pipe, &overlapped, &written, TRUE);
  }
  if (!ok || written < size) {
    LogLine("Writing to server failed. Wrote %d bytes out of %d.\n", static_cast<int>(written),
            static_cast<int>(size));
    return 0;
  }
  return ok;
}

// The state of one run of the I/O thread. Lives on that thread's stack; every OVERLAPPED and
// the read buffer stay alive until the operations on them have ended (see ~CPipeServer).
class CPipeServer {
 public:
  explicit CPipeServer(const CPipeServerConfig& config) : m_config(config) {}
  ~CPipeServer();

  DWORD run();

 private:
  bool createPipes();
  bool connectPipes();
  bool startConnect(HANDLE pipe, OVERLAPPED& overlapped, bool& connected);
  // Starts the next overlapped read into m_readBuffer; false only when the host is gone.
  bool startRead();
  // Handles the end of the read that m_inputEvent announced. Sets `ended` when the host is
  // gone or asked to shut down.
  void finishRead(bool& sentDirectly, bool& ended);
  void sendOneQueuedMessage();
  void sendShutdownReply(std::uint32_t requestId);
  void endSession();
  void postClose();
  void cancelPending(HANDLE pipe, OVERLAPPED& overlapped, bool& pending);

  const CPipeServerConfig& m_config;
  CScopedKernelHandle m_inputPipe;
  CScopedKernelHandle m_outputPipe;
  CScopedKernelHandle m_inputEvent;   // manual reset; the connect, then every read, of input
  CScopedKernelHandle m_outputEvent;  // manual reset; the connect of output
  CScopedKernelHandle m_writeEvent;   // manual reset; every write to output
  OVERLAPPED m_inputOverlapped = {};
  OVERLAPPED m_outputOverlapped = {};
  bool m_inputPending = false;   // an operation on m_inputOverlapped may still complete
  bool m_outputPending = false;  // the connect on m_outputOverlapped may still complete
  std::unique_ptr<char[]> m_readBuffer;
  // The rest of a message larger than the buffer is being read and will be thrown away.
  bool m_draining = false;
  int m_consecutiveReadErrors = 0;
};

CPipeServer::~CPipeServer() {
  // The kernel writes into the OVERLAPPED records and the buffer until an operation ends, so
  // none may be freed while one is still in flight.
  cancelPending(m_inputPipe.get(), m_inputOverlapped, m_inputPending);
  cancelPending(m_outputPipe.get(), m_outputOverlapped, m_outputPending);
}

void CPipeServer::cancelPending(HANDLE pipe, OVERLAPPED& overlapped, bool& pending) {
  if (!pending) return;
  DWORD ignored = 0;
  CancelIoEx(pipe, &overlapped);
  GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
  pending = false;
}

bool CPipeServer::createPipes() {
  if (m_config.pipes) {
    m_inputPipe = std::move(m_config.pipes->input);
    m_outputPipe = std::move(m_config.pipes->output);
  } else {
    CHostPipes pipes;
    if (!CreateHostPipes(m_config.inputPipeName, m_config.outputPipeName, 0, pipes)) return false;
    m_inputPipe = std::move(pipes.input);
    m_outputPipe = std::move(pipes.output);
  }
  if (!m_inputPipe.valid() || !m_outputPipe.valid()) return false;
  m_inputEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_outputEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_writeEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!m_inputEvent.valid() || !m_outputEvent.valid() || !m_writeEvent.valid()) {
    Trace("CreateEventW failed: %lu", GetLastError());
    return false;
  }
  m_inputOverlapped.hEvent = m_inputEvent.get();
  m_outputOverlapped.hEvent = m_outputEvent.get();
  return true;
}

// Returns false when the connect failed at once for a reason other than an early client.
bool CPipeServer::startConnect(HANDLE pipe, OVERLAPPED& overlapped, bool& connected) {
  ResetEvent(overlapped.hEvent);
  if (ConnectNamedPipe(pipe, &overlapped)) {
    connected = true;
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_PIPE_CONNECTED) {
    connected = true;
    return true;
  }
  // A pending connect signals the event later; any other failure never would, and waiting
  // for it would hang the thread for good.
  if (error == ERROR_IO_PENDING || error == ERROR_PIPE_LISTENING) return true;
  Trace("ConnectNamedPipe failed: %lu", error);
  return false;
}

bool CPipeServer::connectPipes() {
  bool inputConnected = false;
  bool outputConnected = false;
  if (!startConnect(m_inputPipe.get(), m_inputOverlapped, inputConnected)) return false;
  m_inputPending = !inputConnected;
  if (!startConnect(m_outputPipe.get(), m_outputOverlapped, outputConnected)) return false;
  m_outputPending = !outputConnected;

  while (!inputConnected || !outputConnected) {
    HANDLE events[2];
    bool* marks[2];
    HANDLE pipes[2];
    OVERLAPPED* records[2];
    bool* pendings[2];
    DWORD count = 0;
    if (!inputConnected) {
      events[count] = m_inputEvent.get();
      marks[count] = &inputConnected;
      pipes[count] = m_inputPipe.get();
      records[count] = &m_inputOverlapped;
      pendings[count++] = &m_inputPending;
    }
    if (!outputConnected) {
      events[count] = m_outputEvent.get();
      marks[count] = &outputConnected;
      pipes[count] = m_outputPipe.get();
      records[count] = &m_outputOverlapped;
      pendings[count++] = &m_outputPending;
    }
    DWORD wait = WaitForMultipleObjects(count, events, FALSE, INFINITE);
    if (wait >= WAIT_OBJECT_0 + count) {
      // Only a broken handle makes an infinite wait fail; do not spin on it.
      Trace("WaitForMultipleObjects (connect) failed: %lu", GetLastError());
      Sleep(10);
      continue;
    }
    DWORD index = wait - WAIT_OBJECT_0;
    DWORD ignored = 0;
    BOOL ok = GetOverlappedResult(pipes[index], records[index], &ignored, TRUE);
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    *pendings[index] = false;
    if (ok || error == ERROR_PIPE_CONNECTED) {
      *marks[index] = true;
    } else if (error == ERROR_PIPE_LISTENING) {
      if (!startConnect(pipes[index], *records[index], *marks[index])) return false;
      *pendings[index] = !*marks[index];
    } else {
      Trace("Connecting a pipe failed: %lu", error);
      return false;
    }
  }
  return true;
}

bool CPipeServer::startRead() {
  // ReadFile resets m_inputEvent as it starts, as WriteFile does its event.
  m_inputPending = false;
  if (ReadFile(m_inputPipe.get(), m_readBuffer.get(), kPipeBufferSize, nullptr,
               &m_inputOverlapped)) {
    m_inputPending = true;  // completed at once; the event is set and finishRead collects it
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
    m_inputPending = true;
    return true;
  }
  Trace("Error on ReadFile: %d\n", static_cast<int>(error));
  if (error == ERROR_BROKEN_PIPE) return false;
  // A read that failed to start never signals; signal it ourselves so that the loop sees the
  // failure, and keep a persistent one from spinning the thread.
  if (++m_consecutiveReadErrors > 3) Sleep(50);
  SetEvent(m_inputEvent.get());
  return true;
}

void CPipeServer::finishRead(bool& handled, bool& ended) {
  handled = false;
  ended = false;
  DWORD size = 0;
  BOOL ok =
      m_inputPending && GetOverlappedResult(m_inputPipe.get(), &m_inputOverlapped, &size, FALSE);
  DWORD error = ok ? ERROR_SUCCESS : (m_inputPending ? GetLastError() : ERROR_GEN_FAILURE);
  if (!ok && error == ERROR_IO_INCOMPLETE) {
    ResetEvent(m_inputEvent.get());
    return;
  }
  m_inputPending = false;

  if (ok) {
    m_consecutiveReadErrors = 0;
    if (m_draining) {
      // The last piece of an oversized message: it ends here, and so does the discarding.
      m_draining = false;
    } else {
      HandleHostRequest(m_readBuffer.get(), size, m_config.handleRequest);
    }
    handled = true;
    // A reply queued at once (a standing one) goes out before the next read starts: under Wine
    // that start is a server call, which would stand between the request and its reply.
    if (HasOutgoingMessages()) sendOneQueuedMessage();
    if (!startRead()) ended = true;
    return;
  }

  Trace("Error on ReadFile: %d\n", static_cast<int>(error));
  if (error == ERROR_BROKEN_PIPE) {
    ended = true;
    return;
  }
  if (error == ERROR_MORE_DATA) {
    // A request larger than the 2 MiB limit: read the rest of it and throw it all away, so
    // that the next read starts at the next request.
    if (!m_draining) Trace("Dropping a request larger than %lu bytes", kPipeBufferSize);
    m_draining = true;
  } else {
    ++m_consecutiveReadErrors;
  }
  // Reading resumes at once; leaving the read unstarted would stop all further requests.
  if (!startRead()) ended = true;
}

void CPipeServer::sendOneQueuedMessage() {
  std::unique_ptr<OutgoingMessage> message = TakeOutgoingMessage();
  if (!message) return;
  std::string frame;
  if (EncodeMessageForHost(*message, frame)) {
    WriteFrameToPipe(m_outputPipe.get(), frame, m_writeEvent.get());
  }
}

void CPipeServer::sendShutdownReply(std::uint32_t requestId) {
  ZnLuaTEString name("shutdownComplete");
  ZnLuaTENil nil;
  std::string frame;
  if (EncodeMessageForHost(requestId, &name, &nil, frame)) {
    WriteFrameToPipe(m_outputPipe.get(), frame, m_writeEvent.get());
  }
}

void CPipeServer::postClose() {
  if (m_config.closeWindow && *m_config.closeWindow) {
    PostMessageW(*m_config.closeWindow, WM_CLOSE, 0, 0);
  }
}

void CPipeServer::endSession() {
  FlushFileBuffers(m_inputPipe.get());
  FlushFileBuffers(m_outputPipe.get());
  cancelPending(m_inputPipe.get(), m_inputOverlapped, m_inputPending);
  DisconnectNamedPipe(m_inputPipe.get());
  m_inputPipe.reset();
  DisconnectNamedPipe(m_outputPipe.get());
  m_outputPipe.reset();
  m_readBuffer.reset();
  // Whatever is still queued can never be sent now.
  DiscardOutgoingMessages();
  postClose();
}

DWORD CPipeServer::run() {
  if (!createPipes()) return 0;
  if (!connectPipes()) {
    // The process is ending; pending connects are cancelled by the destructor.
    postClose();
    return 1;
  }

  m_readBuffer.reset(new char[kPipeBufferSize]);
  if (!startRead()) {
    endSession();
    return 1;
  }

  for (;;) {
    bool handled = false;
    bool ended = false;
    bool waited = false;
    if (PrepareOutgoingWait()) {
      HANDLE events[2];
      DWORD count = 0;
      const bool haveSemaphore = m_config.wakeSemaphore != nullptr;
      if (haveSemaphore) events[count++] = m_config.wakeSemaphore;
      events[count++] = m_inputEvent.get();
      // The semaphore comes first: when both are signalled, queued messages go out before the
      // next request is looked at.
      DWORD wait = WaitForMultipleObjects(count, events, FALSE, kIdleWaitMs);
      EndOutgoingWait();
      if (wait == WAIT_FAILED) Sleep(10);  // keeps a broken handle from spinning the loop
      waited = wait != WAIT_FAILED;
      if (wait == WAIT_OBJECT_0 + count - 1) {
        finishRead(handled, ended);
        if (ended) break;
        if (!handled) continue;
      }
    }
    // A pass that did not wait has not seen the input: a request, or the host leaving, may
    // have ended the read meanwhile. Its status tells without a server call.
    if (!waited && m_inputPending && HasOverlappedIoCompleted(&m_inputOverlapped)) {
      finishRead(handled, ended);
      if (ended) break;
    }
    sendOneQueuedMessage();
    if (m_config.sessionEnd && !HasOutgoingMessages()) {
      if (const auto requestId = m_config.sessionEnd->requestedId()) {
        sendShutdownReply(*requestId);
        break;
      }
    }
  }
  endSession();
  return 1;
}

}  // namespace

bool CreateHostPipes(const wchar_t* inputName, const wchar_t* outputName, unsigned retryMs,
                     CHostPipes& pipes) {
  SECURITY_ATTRIBUTES security = {};
  CScopedLocalMemory descriptor;
  security.nLength = sizeof security;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          kPipeSecurity, SDDL_REVISION_1,
          reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.receive()), nullptr)) {
    // Without our descriptor we do not open the pipes to everybody's default: no host link.
    Trace("ConvertStringSecurityDescriptorToSecurityDescriptorW failed: %lu", GetLastError());
    return false;
  }
  security.lpSecurityDescriptor = descriptor.get();

  // FILE_FLAG_FIRST_PIPE_INSTANCE makes the creation fail when another process already owns
  // the name, so no impostor server can sit in front of us (Windows only: Wine 8 does not
  // enforce it). One instance per pipe: a process serves exactly one host, and the limit
  // keeps anyone else from creating the names while we hold them.
  const DWORD pipeMode =
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  auto create = [&](const wchar_t* name, DWORD access) {
    return CreateNamedPipeW(name, access | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            pipeMode, 1, kPipeBufferSize, kPipeBufferSize, 0, &security);
  };
  const DWORD start = GetTickCount();
  for (int attempt = 0;; ++attempt) {
    pipes.input.reset(create(inputName, PIPE_ACCESS_INBOUND));
    DWORD error = pipes.input.valid() ? ERROR_SUCCESS : GetLastError();
    const char* which = "input";
    if (pipes.input.valid()) {
      pipes.output.reset(create(outputName, PIPE_ACCESS_OUTBOUND));
      error = pipes.output.valid() ? ERROR_SUCCESS : GetLastError();
      which = "output";
    }
    if (error == ERROR_SUCCESS) {
      if (attempt > 0) Trace("CreateNamedPipeW succeeded after %d retries", attempt);
      return true;
    }
    // Our own half is given up, so the other process can finish with both names.
    pipes.input.reset();
    pipes.output.reset();
    const DWORD elapsed = GetTickCount() - start;
    if (attempt == 0 || elapsed >= retryMs) {
      Trace("CreateNamedPipeW (%s) failed: %lu%s", which, error,
            elapsed >= retryMs ? "; giving up" : "; another process may hold it, retrying");
    }
    if (elapsed >= retryMs) return false;
    Sleep(kPipeRetryIntervalMs);
  }
}

DWORD RunPipeServer(const CPipeServerConfig& config) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  DWORD result;
  {
    CPipeServer server(config);
    result = server.run();
  }
  // A thread that could not create its pipes leaves COM as it is; the process runs on.
  if (result != 0) CoUninitialize();
  return result;
}
