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

// The demo: a whole tether session as a list of ordinary steps.
std::vector<Step> DemoSteps() {
  auto make = [](StepKind kind, const char* command) {
    Step step;
    step.kind = kind;
    step.command = command;
    return step;
  };
  std::vector<Step> steps;
  steps.push_back(make(StepKind::List, "list"));
  steps.push_back(make(StepKind::Settings, "settings"));
  Step aperture = make(StepKind::Set, "set");
  aperture.setting = "aperture";
  aperture.value = "f/8";
  steps.push_back(aperture);
  steps.push_back(make(StepKind::Capture, "capture"));
  steps.push_back(make(StepKind::Capture, "capture"));  // RAW+JPEG, see RunDemo
  Step liveView = make(StepKind::LiveView, "liveview");
  liveView.seconds = 3;
  steps.push_back(liveView);
  Step out = make(StepKind::Focus, "focus");
  out.focusDirection = 3;
  out.times = 2;
  steps.push_back(out);
  Step back = make(StepKind::Focus, "focus");
  back.focusDirection = -1;
  steps.push_back(back);
  Step afOn = make(StepKind::Af, "af");
  afOn.afOn = true;
  steps.push_back(afOn);
  steps.push_back(make(StepKind::Af, "af"));
  return steps;
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
    steps = DemoSteps();
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
  std::string error;
  if (!tether.start(&error)) return report.finish(1, ErrorKind::Process, error);
  ErrorKind errorKind = ErrorKind::Camera;
  std::size_t ran = 0;
  for (std::size_t i = 0; i < steps.size() && error.empty() && !g_interrupted; ++i) {
    if (demo && i == 4) {
      // The simulated camera takes an image-quality change through its control file, as
      // a photographer changes it in the camera's own menu.
      const std::string control = platform::environmentVariable("LBSIM_CONTROL");
      if (!control.empty()) std::ofstream(control, std::ios::app) << "format raw+jpeg\n";
    }
    if (demo) report.progress("step " + std::to_string(i + 1) + ": " + steps[i].command);
    ++ran;
    if (!tether.run(steps[i], &error, &errorKind)) break;
  }
  if (!error.empty()) {
    report.fail(errorKind == ErrorKind::Interrupted ? kInterruptedExitCode : 1, errorKind, error);
  } else if (g_interrupted && !(tether.endedByInterrupt() && ran == steps.size())) {
    // Ctrl+C is the way to end a watch or live view; anywhere else it cut the run short.
    report.fail(kInterruptedExitCode, ErrorKind::Interrupted,
                ran == steps.size() ? std::string("interrupted (Ctrl+C) in the last step")
                                    : "interrupted (Ctrl+C); " +
                                          std::to_string(steps.size() - ran) + " step(s) not run");
  }
  std::string hookError;
  if (!tether.finishHooks(&hookError) && error.empty()) report.fail(1, ErrorKind::Hook, hookError);
  // The process is shut down in every case, so it never outlives the run.
  std::string shutdownError;
  if (!tether.shutdown(&shutdownError) && error.empty())
    report.fail(1, ErrorKind::Process, shutdownError);
  return report.finish();
}
