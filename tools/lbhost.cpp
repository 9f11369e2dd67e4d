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
#include "tools/lbhost_command_line.h"
#include "tools/run_report.h"
#include "tools/tether_steps.h"

namespace {

std::atomic<bool> g_interrupted{false};

// Ctrl+C and Ctrl+Break end the current wait, so the process is still shut down in order.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
        g_interrupted = true;
        return TRUE;
    }
    return FALSE;
}

std::string VersionText() {
    return std::string("lbhost ") + LENSBRIDGE_VERSION_STRING + " (build " + LENSBRIDGE_BUILD_ID + ")";
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
        if (parsed.json) return report.finish(2, "usage", parsed.text, parsed.suggestion);
        std::string message = parsed.text;
        if (!parsed.suggestion.empty()) message += " (did you mean " + parsed.suggestion + "?)";
        return report.finish(2, "usage", message + "; see lbhost --help");
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
    for (const Step& step : commandLine.steps) {
        if (step.kind == StepKind::Demo && !demo) {
            return report.finish(2, "usage", "demo runs alone, without other steps");
        }
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    CTetherSteps tether(commandLine.options, report, g_interrupted);
    std::string error;
    if (!tether.start(&error)) return report.finish(1, "process", error);
    std::string errorKind;
    for (std::size_t i = 0; i < steps.size() && error.empty(); ++i) {
        if (demo && i == 4) {
            // The simulated camera takes an image-quality change through its control file, as
            // a photographer changes it in the camera's own menu.
            const std::string control = platform::environmentVariable("LBSIM_CONTROL");
            if (!control.empty()) std::ofstream(control, std::ios::app) << "format raw+jpeg\n";
        }
        if (demo) report.progress("step " + std::to_string(i + 1) + ": " + steps[i].command);
        if (!tether.run(steps[i], &error, &errorKind)) break;
    }
    if (!error.empty()) report.fail(1, errorKind, error);
    // The process is shut down in every case, so it never outlives the run.
    std::string shutdownError;
    if (!tether.shutdown(&shutdownError) && error.empty()) report.fail(1, "process", shutdownError);
    return report.finish();
}
