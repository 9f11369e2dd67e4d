#include "lbhost/client/child_process.h"

#include <cstdlib>
#include <cwctype>
#include <map>
#include <string>

#include "platform/platform.h"
#include "lbhost/client/win32_error_text.h"

namespace {

std::wstring UpperCase(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towupper(c));
  return text;
}

}  // namespace

std::wstring EnvironmentBlockWith(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  // Keyed by the upper-cased name, since Windows variable names ignore case.
  std::map<std::wstring, std::wstring> variables;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry; entry += wcslen(entry) + 1) {
      std::wstring text(entry);
      // Entries such as "=C:=C:\\" start with '=': the name is everything up to the second '='.
      std::size_t equals = text.find(L'=', 1);
      if (equals == std::wstring::npos) continue;
      variables[UpperCase(text.substr(0, equals))] = text;
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : overrides) {
    std::wstring wideName = platform::utf8ToWide(name);
    variables[UpperCase(wideName)] = wideName + L"=" + platform::utf8ToWide(value);
  }
  std::wstring result;
  for (const auto& entry : variables) {
    result += entry.second;
    result.push_back(L'\0');
  }
  result.push_back(L'\0');
  return result;
}

namespace {

constexpr int kStartAttempts = 3;

// A file the child inherits as its output: appended to, since the child and any process it
// starts write through the same handle, and shared in full, so that a straggler cannot keep
// the file's folder from being removed.
CScopedKernelHandle OutputFile(const std::string& path) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  return CScopedKernelHandle(CreateFileW(
      platform::utf8ToWide(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, CREATE_ALWAYS, 0, nullptr));
}

std::string FormatSystemError(const char* what, DWORD code) {
  return std::string(what) + " failed: " + Win32ErrorText(code);
}

}  // namespace

std::wstring QuoteCommandLineArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  // Backslashes are literal except in front of a quote, where each one must be doubled.
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

CChildProcess::~CChildProcess() { terminate(); }

bool CChildProcess::start(const std::string& exePath, const std::vector<std::string>& args,
                          const std::vector<std::pair<std::string, std::string>>& environment,
                          std::string* error) {
  if (running()) {
    if (error) *error = "a process is already running";
    return false;
  }
  std::wstring application = platform::utf8ToWide(exePath);
  std::wstring commandLine = QuoteCommandLineArgument(application);
  for (const std::string& arg : args)
    commandLine += L" " + QuoteCommandLineArgument(platform::utf8ToWide(arg));
  std::wstring environmentBlock = EnvironmentBlockWith(environment);

  // Files made for the child; ours are closed once it has its own handles to them.
  CScopedKernelHandle output, errors;
  if (!m_stdoutPath.empty()) output = OutputFile(m_stdoutPath);
  if (!m_stderrPath.empty()) errors = OutputFile(m_stderrPath);
  if (output.valid() != !m_stdoutPath.empty() || errors.valid() != !m_stderrPath.empty()) {
    if (error)
      *error = FormatSystemError("CreateFileW", GetLastError()) + " for the output of " + exePath;
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output.valid() ? output.get() : GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = errors.valid() ? errors.get() : GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  // Handle inheritance is needed for the standard handles; our pipe and event handles are
  // created non-inheritable, so nothing else leaks into the child.
  const DWORD flags =
      CREATE_UNICODE_ENVIRONMENT | (m_ownProcessGroup ? CREATE_NEW_PROCESS_GROUP : 0);
  // Wine now and then loses a child on a loaded machine before its start-up finishes and says
  // so as an internal error; none of the child's own code ran, so it is safe to start it again.
  DWORD code = ERROR_SUCCESS;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (attempt > 0) Sleep(100);
    if (CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                       environmentBlock.data(), nullptr, &startup, &info)) {
      code = ERROR_SUCCESS;
      break;
    }
    code = GetLastError();
    if (code != ERROR_INTERNAL_ERROR) break;
  }
  if (code != ERROR_SUCCESS) {
    if (error) *error = FormatSystemError("CreateProcessW", code) + " for " + exePath;
    return false;
  }
  CloseHandle(info.hThread);
  m_process.reset(info.hProcess);
  m_processId = info.dwProcessId;
  return true;
}

bool CChildProcess::running() const {
  return m_process.valid() && WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

std::optional<unsigned long> CChildProcess::waitForExit(unsigned timeoutMs) {
  if (!m_process.valid()) return std::nullopt;
  if (WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!GetExitCodeProcess(m_process.get(), &code)) return std::nullopt;
  return code;
}

void CChildProcess::terminate() {
  if (!running()) return;
  TerminateProcess(m_process.get(), kTerminatedExitCode);
  WaitForSingleObject(m_process.get(), INFINITE);
}
