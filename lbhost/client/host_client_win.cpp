#include "lbhost/client/host_client.h"

#include <chrono>

#include "values/message_frame.h"

namespace {

using Clock = std::chrono::steady_clock;

// Size of one read from the output pipe. Messages larger than this arrive in several reads
// (ERROR_MORE_DATA), which the reader joins.
constexpr DWORD kReadChunk = 64 * 1024;

std::string SystemError(const char* what, DWORD code) {
  return std::string(what) + " failed with error " + std::to_string(code);
}

unsigned MsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

}  // namespace

std::string HostMessage::nameText() const {
  return dynamic_cast<const ZnLuaTEString*>(name.get()) ? name->getString() : std::string();
}

bool HostMessage::payloadIsNil() const {
  return dynamic_cast<const ZnLuaTENil*>(payload.get()) != nullptr;
}

bool HostPipeExists(const wchar_t* pipeName) {
  // WaitNamedPipeW tells "no such pipe" (ERROR_FILE_NOT_FOUND) apart from "exists but no
  // instance is free" (ERROR_SEM_TIMEOUT) without connecting to it.
  if (WaitNamedPipeW(pipeName, 1)) return true;
  return GetLastError() != ERROR_FILE_NOT_FOUND;
}

CHostClient::~CHostClient() {
  closePipes();
  m_process.terminate();
}

bool CHostClient::start(const std::string& exePath, std::string* error,
                        const std::vector<std::string>& args,
                        const std::vector<std::pair<std::string, std::string>>& environment) {
  return m_process.start(exePath, args, environment, error);
}

bool CHostClient::startAndConnect(const std::string& exePath, unsigned timeoutMs,
                                  std::string* error) {
  return start(exePath, error) && connect(timeoutMs, error);
}

bool CHostClient::connect(unsigned timeoutMs, std::string* error) {
  if (m_input.valid() || m_output.valid()) {
    if (error) *error = "already connected";
    return false;
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);

  // Opens one pipe end, waiting for the server to create it or to free an instance.
  auto open = [&](const wchar_t* name, DWORD access, const char* label) -> HANDLE {
    for (;;) {
      HANDLE pipe =
          CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
      if (pipe != INVALID_HANDLE_VALUE) return pipe;
      DWORD code = GetLastError();
      if (m_process.started() && !m_process.running()) {
        auto exitCode = m_process.waitForExit(0);
        if (error) {
          *error = std::string("the process ended (exit code ") +
                   std::to_string(exitCode.value_or(0)) + ") before the " + label +
                   " pipe could be opened";
        }
        return INVALID_HANDLE_VALUE;
      }
      if (Clock::now() >= deadline) {
        if (error)
          *error = SystemError((std::string("opening the ") + label + " pipe").c_str(), code);
        return INVALID_HANDLE_VALUE;
      }
      if (code == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(name, std::min(MsUntil(deadline), 50u) + 1);
      } else {
        Sleep(2);
      }
    }
  };

  CScopedKernelHandle input(open(kInputPipeName, GENERIC_WRITE, "input"));
  if (!input.valid()) return false;
  // FILE_WRITE_ATTRIBUTES lets us switch the read end to message mode below.
  CScopedKernelHandle output(open(kOutputPipeName, GENERIC_READ | FILE_WRITE_ATTRIBUTES, "output"));
  if (!output.valid()) return false;
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(output.get(), &mode, nullptr, nullptr)) {
    if (error) *error = SystemError("SetNamedPipeHandleState", GetLastError());
    return false;
  }

  m_writeEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  m_stopReader.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!m_writeEvent.valid() || !m_stopReader.valid()) {
    if (error) *error = SystemError("CreateEventW", GetLastError());
    return false;
  }
  m_input = std::move(input);
  m_output = std::move(output);
  {
    std::lock_guard<std::mutex> lock(m_receivedMutex);
    m_outputBroken = false;
  }
  m_reader = std::thread([this] { readerLoop(); });
  return true;
}

std::uint32_t CHostClient::send(const std::string& name, const ZnLuaTE* payload) {
  std::uint32_t id = m_nextRequestId++;
  if (m_nextRequestId == 0) m_nextRequestId = 1;  // 0 is the notifications' id
  ZnLuaTEString nameValue(name);
  return sendMessage(id, &nameValue, payload) ? id : 0;
}

bool CHostClient::sendMessage(std::uint32_t requestId, const ZnLuaTE* name,
                              const ZnLuaTE* payload) {
  return sendRaw(EncodeMessageFrame(requestId, name, payload));
}

bool CHostClient::sendRaw(const std::string& bytes) {
  if (!m_input.valid() || bytes.size() > MAXDWORD) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = m_writeEvent.get();
  ResetEvent(m_writeEvent.get());
  // A zero-length write still needs a valid buffer address.
  static const char kNothing = 0;
  const char* data = bytes.empty() ? &kNothing : bytes.data();
  const DWORD size = static_cast<DWORD>(bytes.size());
  if (!WriteFile(m_input.get(), data, size, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  DWORD written = 0;
  if (WaitForSingleObject(m_writeEvent.get(), m_writeTimeoutMs) != WAIT_OBJECT_0) {
    // The process does not read; give the write up rather than hang. The buffer must stay
    // alive until the cancelled write has completed, hence the waiting result call.
    CancelIo(m_input.get());
    GetOverlappedResult(m_input.get(), &overlapped, &written, TRUE);
    return false;
  }
  return GetOverlappedResult(m_input.get(), &overlapped, &written, FALSE) && written == size;
}

void CHostClient::readerLoop() {
  CScopedKernelHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<char> chunk(kReadChunk);
  std::string message;
  bool oversized = false;

  auto markBroken = [this] {
    std::lock_guard<std::mutex> lock(m_receivedMutex);
    m_outputBroken = true;
    m_receivedChanged.notify_all();
  };
  if (!readEvent.valid()) return markBroken();

  while (WaitForSingleObject(m_stopReader.get(), 0) == WAIT_TIMEOUT) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = readEvent.get();
    ResetEvent(readEvent.get());
    if (!ReadFile(m_output.get(), chunk.data(), kReadChunk, nullptr, &overlapped)) {
      DWORD code = GetLastError();
      if (code != ERROR_IO_PENDING && code != ERROR_MORE_DATA) return markBroken();
    }
    HANDLE waits[2] = {readEvent.get(), m_stopReader.get()};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
      // Stopping: the read may still complete into `chunk`, so wait for it to finish.
      DWORD ignored = 0;
      CancelIo(m_output.get());
      GetOverlappedResult(m_output.get(), &overlapped, &ignored, TRUE);
      return;
    }
    DWORD got = 0;
    BOOL complete = GetOverlappedResult(m_output.get(), &overlapped, &got, TRUE);
    DWORD code = complete ? ERROR_SUCCESS : GetLastError();
    if (!complete && code != ERROR_MORE_DATA) return markBroken();

    // The process never sends more than the protocol limit; a longer message is kept out of
    // memory and counted as undecodable instead of growing without bound.
    if (!oversized && message.size() + got > kMaxMessageSize) {
      oversized = true;
      message.clear();
    }
    if (!oversized) message.append(chunk.data(), got);
    if (!complete) continue;  // ERROR_MORE_DATA: the rest of the same message follows

    HostMessage received;
    bool decoded = false;
    if (!oversized) {
      try {
        DecodedMessage frame = DecodeMessageFrame(message.data(), message.size());
        received.requestId = frame.requestId;
        received.name = std::move(frame.name);
        received.payload = std::move(frame.payload);
        decoded = received.name && received.payload;
      } catch (...) {
        decoded = false;
      }
    }
    message.clear();
    oversized = false;
    std::lock_guard<std::mutex> lock(m_receivedMutex);
    if (decoded) {
      m_received.push_back(std::move(received));
    } else {
      ++m_undecodable;
    }
    m_receivedChanged.notify_all();
  }
}

std::optional<HostMessage> CHostClient::waitFor(
    const std::function<bool(const HostMessage&)>& match, unsigned timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(m_receivedMutex);
  std::size_t scanned = 0;
  for (;;) {
    for (; scanned < m_received.size(); ++scanned) {
      if (match(m_received[scanned])) {
        HostMessage found = std::move(m_received[scanned]);
        m_received.erase(m_received.begin() + static_cast<std::ptrdiff_t>(scanned));
        return found;
      }
    }
    if (m_receivedChanged.wait_until(lock, deadline) == std::cv_status::timeout &&
        scanned == m_received.size()) {
      return std::nullopt;
    }
  }
}

std::optional<HostMessage> CHostClient::waitForReply(std::uint32_t requestId, unsigned timeoutMs) {
  return waitFor([requestId](const HostMessage& m) { return m.requestId == requestId; }, timeoutMs);
}

std::optional<HostMessage> CHostClient::waitForName(const std::string& name, unsigned timeoutMs) {
  return waitFor([&name](const HostMessage& m) { return m.nameText() == name; }, timeoutMs);
}

std::vector<HostMessage> CHostClient::collectFor(unsigned timeoutMs) {
  Sleep(timeoutMs);
  return takeReceived();
}

std::vector<HostMessage> CHostClient::takeReceived() {
  std::lock_guard<std::mutex> lock(m_receivedMutex);
  std::vector<HostMessage> all;
  for (HostMessage& m : m_received) all.push_back(std::move(m));
  m_received.clear();
  return all;
}

std::size_t CHostClient::undecodableCount() const {
  std::lock_guard<std::mutex> lock(m_receivedMutex);
  return m_undecodable;
}

bool CHostClient::outputBroken() const {
  std::lock_guard<std::mutex> lock(m_receivedMutex);
  return m_outputBroken;
}

void CHostClient::closeInput() { m_input.reset(); }

void CHostClient::closeOutput() {
  if (m_reader.joinable()) {
    SetEvent(m_stopReader.get());
    m_reader.join();
  }
  m_output.reset();
}

void CHostClient::closePipes() {
  closeInput();
  closeOutput();
}
