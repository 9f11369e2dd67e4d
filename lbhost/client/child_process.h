// A child process started and reaped by the host-side tools and tests.
//
// RAII: a process still running when its CChildProcess is destroyed is terminated and waited
// for, so no test (even one whose assertion failed half-way) can leave a process behind.
// One thread uses an instance; it is not shared.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/scoped_handles_win.h"

class CChildProcess {
 public:
  // Exit code given to a process that is terminated from here, so that it cannot be mistaken
  // for an orderly end (which is 0).
  static constexpr unsigned long kTerminatedExitCode = 0xDEAD;

  CChildProcess() = default;
  ~CChildProcess();

  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  // Starts `exePath` (UTF-8) with `args`, each quoted as the C runtime expects. `environment`
  // adds or replaces variables of the inherited environment (names compared without case).
  // The child shares our standard output and error, so its log lines show up beside ours,
  // unless sendOutputTo() named files for them.
  // False, with a message in *error, when the process could not be created or one is running.
  bool start(const std::string& exePath, const std::vector<std::string>& args = {},
             const std::vector<std::pair<std::string, std::string>>& environment = {},
             std::string* error = nullptr);

  // Sends the standard output and error of the processes started from now on to these files
  // (UTF-8 paths), each made afresh by start(); empty paths share ours again.
  void sendOutputTo(std::string stdoutPath, std::string stderrPath) {
    m_stdoutPath = std::move(stdoutPath);
    m_stderrPath = std::move(stderrPath);
  }

  // Starts the processes from now on in a process group of their own, so that the Ctrl+C of the
  // terminal we run in does not reach them (under Wine the group is a Unix session of its own).
  // They then ignore Ctrl+C until they ask for it again (SetConsoleCtrlHandler(nullptr, FALSE)).
  void startInOwnProcessGroup(bool own) { m_ownProcessGroup = own; }

  bool started() const { return m_process.valid(); }
  bool running() const;
  unsigned long processId() const { return m_processId; }

  // Waits up to timeoutMs for the process to end; its exit code, or nothing while it still
  // runs (or when none was started).
  std::optional<unsigned long> waitForExit(unsigned timeoutMs);

  // Terminates a running process with kTerminatedExitCode and waits until it is gone.
  void terminate();

 private:
  CScopedKernelHandle m_process;
  unsigned long m_processId = 0;
  std::string m_stdoutPath, m_stderrPath;
  bool m_ownProcessGroup = false;
};

// The inherited environment with `overrides` applied (names compared without case), as the
// double-terminated block CreateProcessW takes with CREATE_UNICODE_ENVIRONMENT.
std::wstring EnvironmentBlockWith(
    const std::vector<std::pair<std::string, std::string>>& overrides);

// Quotes one argument for a Windows command line so that CommandLineToArgvW and the C
// runtime give it back unchanged.
std::wstring QuoteCommandLineArgument(const std::wstring& argument);
