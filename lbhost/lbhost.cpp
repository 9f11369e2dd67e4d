// lbhost.exe: plays the host photo application against lensbridge.exe from the command line.
// Each run checks its whole command line, starts the process, connects the pipes, runs its
// steps in order and shuts the process down. "lbhost --help" lists the steps; --json gives one
// JSON object per run for scripts.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "lensbridge_version.h"
#include "platform/platform.h"
#include "lbhost/core/command_line.h"
#include "lbhost/core/file_ledger.h"
#include "lbhost/core/run_report.h"
#include "lbhost/serve/serve.h"
#include "lbhost/steps/tether_steps.h"

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<const CFileLedger*> g_ledger{nullptr};

// The exit code of a run that Ctrl+C ended, as shells give it for SIGINT.
constexpr int kInterruptedExitCode = 130;

// Runs on a thread of its own, which the system starts for each Ctrl+C. The first one lets a
// download in progress finish and then shuts the process down in order; the second ends lbhost
// at once, after saying where the files are.
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  const CFileLedger* ledger = g_ledger;
  if (!g_interrupted.exchange(true)) {
    std::fputs(
        ledger && ledger->downloadInProgress()
            ? "lbhost: Ctrl+C: letting the download in progress land, then shutting down "
              "(Ctrl+C again ends at once)\n"
            : "lbhost: Ctrl+C: no new shot is started; shutting down (Ctrl+C again ends at once)\n",
        stderr);
    std::fflush(stderr);
    return TRUE;
  }
  std::string text = "lbhost: ended at once (second Ctrl+C)\n";
  const std::string where = ledger ? ledger->summary() : std::string();
  for (std::size_t start = 0; start < where.size();) {
    const std::size_t end = where.find('\n', start);
    text += "lbhost: " + where.substr(start, end - start) + "\n";
    start = end + 1;
  }
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::fflush(stdout);
  // At once means without the destructors, which would wait for the process and the reader.
  TerminateProcess(GetCurrentProcess(), kInterruptedExitCode);
  return TRUE;
}

std::string VersionText() {
  return std::string("lbhost ") + LENSBRIDGE_VERSION_STRING + " (build " + LENSBRIDGE_BUILD_ID +
         ")";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    words.push_back(platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(argv[i])));
  }
  ParsedCommandLine parsed = ParseLbhostCommandLine(words);
  switch (parsed.outcome) {
    case ParsedCommandLine::Outcome::Help:
      std::fputs(parsed.text.c_str(), stdout);
      return 0;
    case ParsedCommandLine::Outcome::Version:
      std::printf("%s\n", VersionText().c_str());
      return 0;
    case ParsedCommandLine::Outcome::UsageError: {
      CRunReport report(parsed.json);
      if (parsed.json) return report.finish(2, ErrorKind::Usage, parsed.text, parsed.suggestion);
      std::string message = parsed.text;
      if (!parsed.suggestion.empty()) message += " (did you mean " + parsed.suggestion + "?)";
      return report.finish(2, ErrorKind::Usage, message + "; see lbhost --help");
    }
    case ParsedCommandLine::Outcome::Run:
      break;
  }

  LbhostCommandLine& commandLine = parsed.commandLine;
  std::vector<Step> steps = commandLine.steps;
  const bool demo = steps.size() == 1 && steps.front().kind == StepKind::Demo;
  if (demo) {
    // A whole tether session in ordinary steps; the second capture is a RAW+JPEG one (below).
    steps =
        ParseLbhostCommandLine({"list",    "settings", "set",       "aperture", "f/8",   "capture",
                                "capture", "liveview", "--seconds", "3",        "focus", "near",
                                "--step",  "coarse",   "--times",   "2",        "focus", "far",
                                "af",      "on",       "af",        "off"})
            .commandLine.steps;
    if (commandLine.options.outFolder.empty()) commandLine.options.outFolder = "demo-out";
  }
  CRunReport report(commandLine.options.json);
  if (steps.size() == 1 && steps.front().kind == StepKind::Serve) {
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    return RunServe(commandLine.options, steps.front(), report, g_interrupted, &g_ledger);
  }
  for (const Step& step : commandLine.steps) {
    if (step.kind == StepKind::Demo && !demo) {
      return report.finish(2, ErrorKind::Usage, "demo runs alone, without other steps");
    }
  }
  for (const Step& step : steps) {
    if (step.toStdout) report.reserveStdoutForData();
  }
  // A console that started us in a process group of our own has switched Ctrl+C off for us.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);

  CTetherSteps tether(commandLine.options, report, g_interrupted);
  g_ledger = &tether.ledger();
  if (Status started = tether.start(); !started) {
    return report.finish(1, started.failure().kind, started.failure().message);
  }
  Status outcome;
  std::size_t ran = 0;
  for (std::size_t i = 0; i < steps.size() && outcome && !g_interrupted; ++i) {
    if (demo && i == 4) {
      // The simulated camera takes an image-quality change through its control file, as
      // a photographer changes it in the camera's own menu.
      const std::string control = platform::environmentVariable("LBSIM_CONTROL");
      if (!control.empty()) std::ofstream(control, std::ios::app) << "format raw+jpeg\n";
    }
    if (demo) report.progress("step " + std::to_string(i + 1) + ": " + steps[i].command);
    ++ran;
    outcome = tether.run(steps[i]);
  }
  if (!outcome) {
    const Failure& failure = outcome.failure();
    report.fail(failure.kind == ErrorKind::Interrupted ? kInterruptedExitCode : 1, failure.kind,
                failure.message);
  } else if (g_interrupted && !(tether.endedByInterrupt() && ran == steps.size())) {
    // Ctrl+C is the way to end a watch or live view; anywhere else it cut the run short.
    report.fail(kInterruptedExitCode, ErrorKind::Interrupted,
                ran == steps.size() ? std::string("interrupted (Ctrl+C) in the last step")
                                    : "interrupted (Ctrl+C); " +
                                          std::to_string(steps.size() - ran) + " step(s) not run");
  }
  // The "stop" hook runs and the process is shut down in every case, so it never outlives
  // the run; their failures are told when no step failed.
  for (Status ending : {tether.finishHooks(), tether.shutdown()}) {
    if (!ending && outcome) report.fail(1, ending.failure().kind, ending.failure().message);
  }
  return report.finish();
}
