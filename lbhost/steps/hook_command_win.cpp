#include "lbhost/steps/hook_command.h"

#include <windows.h>

#include <cstdio>

#include "platform/platform.h"
#include "platform/scoped_handles_win.h"
#include "lbhost/client/child_process.h"
#include "lbhost/client/win32_error_text.h"
#include "lbhost/steps/tether_steps.h"

namespace {

// How long the ended hook's processes get to go away before we stop waiting for them.
constexpr DWORD kAfterTerminateMs = 5000;

}  // namespace

bool RunHookCommand(const std::string& command, const std::string& action,
                    const std::string& argument, unsigned timeoutMs, bool keepStdoutClean,
                    std::string* error) {
  const std::string what =
      "the hook \"" + command + "\" (" + action + (argument.empty() ? "" : " " + argument) + ")";
  std::wstring interpreter(MAX_PATH, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"ComSpec", &interpreter[0], MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    interpreter = L"cmd.exe";
  } else {
    interpreter.resize(length);
  }
  // With /s, cmd.exe takes off the outer quotes and runs the rest as typed, so the command
  // keeps its own quoting. A path holds no quote character, so quoting it is enough.
  std::wstring commandLine =
      L"\"" + interpreter + L"\" /d /s /c \"" + platform::utf8ToWide(command);
  if (action == "download") commandLine += L" \"" + platform::utf8ToWide(argument) + L"\"";
  commandLine += L"\"";
  std::wstring environment = EnvironmentBlockWith({{"ACTION", action}, {"ARGUMENT", argument}});

  // The job must hold the hook before it can start anything, hence the suspended start.
  CScopedKernelHandle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job.valid() || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                               &limits, sizeof limits)) {
    *error = "could not make a job object for " + what + ": " + Win32ErrorText(GetLastError());
    return false;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (keepStdoutClean) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, keepStdoutClean,
                      CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr,
                      &startup, &info)) {
    *error = "could not start " + what + ": " + Win32ErrorText(GetLastError());
    return false;
  }
  CScopedKernelHandle process(info.hProcess);
  CScopedKernelHandle thread(info.hThread);
  if (!AssignProcessToJobObject(job.get(), process.get())) {
    const DWORD code = GetLastError();
    TerminateProcess(process.get(), 1);
    *error = "could not put " + what + " in a job object: " + Win32ErrorText(code);
    return false;
  }
  ResumeThread(thread.get());
  if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    TerminateJobObject(job.get(), 1);
    WaitForSingleObject(process.get(), kAfterTerminateMs);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", timeoutMs / 1000.0);
    *error =
        what + " did not end within " + seconds + " and was ended with every process it started";
    return false;
  }
  DWORD exitCode = 0;
  GetExitCodeProcess(process.get(), &exitCode);
  if (exitCode != 0) {
    *error = what + " ended with exit code " + std::to_string(exitCode);
    return false;
  }
  return true;
}

Status CTetherSteps::runHook(const std::string& action, const std::string& argument) {
  if (m_options.hook.empty()) return Status();
  std::string why;
  if (RunHookCommand(m_options.hook, action, argument,
                     static_cast<unsigned>(m_options.hookTimeoutSeconds * 1000),
                     m_report.stdoutIsData(), &why)) {
    return Status();
  }
  nlohmann::json& failures = m_report.top()["hook_failures"];
  if (!failures.is_array()) failures = nlohmann::json::array();
  failures.push_back({{"action", action}, {"argument", argument}, {"message", why}});
  if (m_options.hookStops) return Failure{ErrorKind::Hook, why + " (--hook-stops)"};
  m_report.progress(why + "; going on");
  return Status();
}
