#include "lbhost/core/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include "platform/platform.h"
#include "lbhost/core/camera_names.h"
#include "lbhost/core/file_name_pattern.h"
#include "lbhost/core/step_registry.h"
#include "lbhost/vocabulary/nearest_word.h"

using namespace step_registry;

namespace {

const char kDescription[] =
    "Drives cameras through lensbridge.exe as the photo application does: starts the process,\n"
    "connects to its pipes, runs the steps in the order given and shuts it down again.\n"
    "Exit codes: 0 done, 1 the camera or the process failed, 2 the command line is wrong.";

const char kFooter[] =
    "Several steps run in one go, on one connection:\n"
    "  lbhost set aperture f/8 set shutter 1/250 capture --count 3 --out shots\n"
    "lbhost STEP --help describes one step.";

// Why the file a hook command starts with cannot be run, or empty. A first word (quoted or
// not) with a folder or a drive in it, or ending in .cmd, .bat or .exe, names a file; a bare
// one is looked for here and on PATH, as cmd.exe does. Other bare words ("echo") are left to
// cmd.exe. Checked now because cmd.exe only answers 9009, on every run of the hook.
std::string HookProblem(const std::string& command) {
  const bool quoted = !command.empty() && command[0] == '"';
  const std::string first = quoted ? command.substr(1, command.find('"', 1) - 1)
                                   : command.substr(0, command.find_first_of(" \t"));
  std::string lower = first;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool inFolder =
      first.find_first_of("\\/") != std::string::npos ||
      (first.size() >= 2 && first[1] == ':' && std::isalpha(static_cast<unsigned char>(first[0])));
  bool script = false;
  for (const char* extension : {".cmd", ".bat", ".exe"}) {
    script = script || (lower.size() > 4 && lower.compare(lower.size() - 4, 4, extension) == 0);
  }
  if (!inFolder && !script) return std::string();
  if (platform::fileExists(first)) return std::string();
  if (!inFolder) {
    const char listSeparator = platform::pathSeparator() == '\\' ? ';' : ':';
    std::string folders = platform::environmentVariable("PATH");
    for (std::size_t start = 0; start <= folders.size();) {
      std::size_t end = folders.find(listSeparator, start);
      if (end == std::string::npos) end = folders.size();
      const std::string folder = folders.substr(start, end - start);
      if (!folder.empty() && platform::fileExists(folder + platform::pathSeparator() + first)) {
        return std::string();
      }
      start = end + 1;
    }
    return "\"" + first + "\": no such file here or on PATH";
  }
  if (!quoted && platform::fileExists(command)) {
    return "\"" + first + "\": no such file (put quotes around a path with blanks)";
  }
  return "\"" + first + "\": no such file";
}

// The first word CLI11 could not place, and whether it looks like an option.
std::string FirstUnexpected(const CLI::App& app) {
  std::vector<std::string> rest = app.remaining();
  return rest.empty() ? std::string() : rest.front();
}

// All long option names of `app` ("--count").
std::vector<std::string> OptionNames(const CLI::App* app) {
  std::vector<std::string> names;
  for (const CLI::Option* option : app->get_options()) {
    for (const auto& n : option->get_lnames()) names.push_back("--" + n);
  }
  return names;
}

// The run's options that a step's help lists with its own, since CLI11 shows a step only its
// own options, and a photographer reading "capture --help" is looking for --out as well.
std::string RunOptionsText(const CLI::App& app, const std::vector<std::string>& names) {
  std::string text = "Run options for this step (before or after it):\n";
  for (const auto& name : names) {
    const CLI::Option* option = app.get_option_no_throw(name);
    if (!option) continue;
    std::string line = "  " + name;
    if (option->get_type_size() != 0 && !option->get_type_name().empty())
      line += " " + option->get_type_name();
    line.resize(std::max<std::size_t>(line.size() + 1, 30), ' ');
    text += line + option->get_description() + "\n";
  }
  return text;
}

std::string CleanMessage(std::string message) {
  // CLI11 prefixes some messages with the option; keep them short and on one line.
  for (char& c : message) {
    if (c == '\n') c = ' ';
  }
  return message;
}

// What an option or a step's word takes, for the message of one left out: its check's name,
// else a word's own description or the option's type name.
std::string WhatItTakes(CLI::Option* option) {
  try {
    const std::string& name = option->get_validator()->get_name();
    if (!name.empty()) return name;
  } catch (const CLI::OptionNotFound&) {
    // No check.
  }
  return option->get_positional() ? option->get_description() : option->get_type_name();
}

// CLI11's refusal of an option's or a step word's value, in lbhost's words: a check's own
// refusal follows the name ("--count must be ..."), a missing value says what the option
// takes, and a switch given a value says it takes none. A step's option is named with its
// step; the run's options are not, wherever they stand.
std::string RefusalText(const CLI::ParseError& error, CLI::App& app) {
  std::string message = CleanMessage(error.what());
  const std::string cannotConvert = "Could not convert: ";
  const bool converting = message.rfind(cannotConvert, 0) == 0;
  const std::size_t nameStart = converting ? cannotConvert.size() : 0;
  const std::size_t nameEnd = message.find(converting ? " = " : ": ", nameStart);
  if (nameEnd == std::string::npos) return message;
  const std::string name = message.substr(nameStart, nameEnd - nameStart);
  const std::vector<CLI::App*> used = app.get_subcommands();
  CLI::Option* option = app.get_option_no_throw(name);
  CLI::App* owner = option || used.empty() ? nullptr : used.back();
  if (owner) option = owner->get_option_no_throw(name);
  if (!option) return message;
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
    message = name + " needs a value: " + WhatItTakes(option);
  } else if (dynamic_cast<const CLI::ConversionError*>(&error)) {
    // Only a switch gets here: every option with a value has a check that reads it first.
    message = name + " takes no value";
  } else {
    message = name + " " + message.substr(nameEnd + 2);
  }
  return owner ? owner->get_name() + ": " + message : message;
}

// Runs CLI11 on `words` (help and version pass through as CLI11 throws them); a problem in
// lbhost's words, one line with the word probably meant.
std::optional<UsageProblem> ParseWords(CLI::App& app, const std::vector<std::string>& words,
                                       const std::vector<std::string>& stepNames) {
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::Success&) {
    throw;
  } catch (const CLI::ExtrasError&) {
    const std::string word = FirstUnexpected(app);
    // The step it followed, if any, to name the options it does know.
    const std::vector<CLI::App*> used = app.get_subcommands();
    CLI::App* last = used.empty() ? nullptr : used.back();
    if (word.rfind("-", 0) == 0) {
      const std::string name = word.substr(0, word.find('='));
      // The step's own options first: a tie goes to them.
      std::vector<std::string> known = last ? OptionNames(last) : std::vector<std::string>();
      for (const auto& n : OptionNames(&app)) known.push_back(n);
      return UsageProblem{
          "unknown option " + name + (last ? " for " + last->get_name() : std::string()),
          NearestWord(name, known)};
    }
    if (!last) {
      return UsageProblem{"unknown step \"" + word + "\"",
                          NearestWord(word, stepNames)};
    }
    return UsageProblem{"unexpected argument \"" + word + "\" after " + last->get_name(),
                        NearestWord(word, stepNames)};
  } catch (const CLI::RequiredError& e) {
    const std::string word = FirstUnexpected(app);
    if (app.get_subcommands().empty() && !word.empty() && word[0] != '-') {
      return UsageProblem{"unknown step \"" + word + "\"",
                          NearestWord(word, stepNames)};
    }
    std::string message = CleanMessage(e.what());
    if (message.find("subcommand") != std::string::npos) {
      message = "no step given (list, settings, set, capture, ...)";
    }
    const std::vector<CLI::App*> used = app.get_subcommands();
    const std::string required = " is required";
    const std::size_t nameEnd = message.size() - std::min(message.size(), required.size());
    CLI::Option* option = used.empty() || message.compare(nameEnd, std::string::npos, required) != 0
                              ? nullptr
                              : used.back()->get_option_no_throw(message.substr(0, nameEnd));
    if (option) {
      message = used.back()->get_name() + " needs " + message.substr(0, nameEnd) + ": " +
                WhatItTakes(option);
    } else if (!used.empty()) {
      message = used.back()->get_name() + ": " + message;
    }
    return UsageProblem{message, ""};
  } catch (const CLI::ParseError& e) {
    return UsageProblem{RefusalText(e, app), ""};
  }
  return std::nullopt;
}

// The run's options, which come before or after the steps.
void AddRunOptions(CLI::App& app, LbhostOptions& options) {
  // Answered as soon as CLI11 meets it (CLI::CallForVersion), so no step is needed with it.
  app.set_version_flag("--version", std::string(), "print lbhost's version and stop");
  app.add_option("--exe", options.exePath, "lensbridge.exe to start (default: beside lbhost.exe)")
      ->type_name("PATH");
  // The simulated camera has a lensbridge.exe and modules of its own in simulator\, so it is
  // never loaded beside a vendor's modules: only this flag reaches it.
  app.add_flag("--simulator", options.simulator,
               "the simulated camera shipped in simulator\\ beside lbhost.exe, to try lbhost "
               "without a camera");
  app.add_option("--device", options.device,
                 "the camera: its device id, name or model from 'list' (default: the first); "
                 "several joined by commas, or all, for a rig")
      ->type_name("ID|NAME[,...]|all");
  app.add_option("--names", options.namesFile,
                 "the file of the cameras' names (default: "
                 "%LOCALAPPDATA%\\lbhost\\camera-names.json)")
      ->type_name("FILE");
  app.add_option("--timeout", options.timeoutMs,
                 "longest wait for an answer or a release, and for a download without progress, in "
                 "ms (default 10000)")
      ->type_name("MS")
      ->transform(AtLeastOne());
  app.add_flag("--json", options.json, "one JSON object on stdout instead of text");
  app.add_option("--out", options.outFolder,
                 "folder the pictures are moved into; made before the first shot")
      ->type_name("DIR");
  app.add_option("--filename", options.fileNamePattern,
                 "name pattern: {date} {time} {date:%Y%m%d} {n} {n:W} {camera} {name}, gphoto2's "
                 "%n %f %C %Y ...; "
                 "'/' makes folders; the extension is added unless %C or %: places it")
      ->type_name("PATTERN")
      ->check(CLI::Validator(
          [](std::string& text) {
            const std::string problem = CheckFileNamePattern(text);
            return problem.empty() ? problem : "\"" + text + "\": " + problem;
          },
          "", "a name pattern"));
  app.add_option("--counter", options.counter,
                 "the first {n} (default: one after the highest the pattern has in the folder)")
      ->type_name("N")
      ->transform(WholeNumber(0, 999999999));
  app.add_option("--hook", options.hook,
                 "command run with ACTION (init, start, download, stop) and ARGUMENT in its "
                 "environment; a download's path is also its last argument")
      ->type_name("COMMAND")
      ->check(CLI::Validator(HookProblem, "", "a command"));
  app.add_option("--hook-timeout", options.hookTimeoutSeconds,
                 "seconds a hook may run before it is ended with all it started (default 60)")
      ->type_name("S")
      ->check(PositiveSeconds());
  app.add_flag("--hook-stops", options.hookStops,
               "a failing hook ends the run (default: reported, the run goes on)");
}

// Each step's help lists the run's options that apply to it.
void AddRunOptionsToStepHelp(CLI::App& app) {
  const std::vector<std::string> everyStep = {"--device", "--names", "--timeout",
                                              "--json",   "--exe",   "--simulator"};
  std::vector<std::string> shooting = {"--out",  "--filename",     "--counter",
                                       "--hook", "--hook-timeout", "--hook-stops"};
  shooting.insert(shooting.end(), everyStep.begin(), everyStep.end());
  std::vector<std::string> frames = {"--out"};
  frames.insert(frames.end(), everyStep.begin(), everyStep.end());
  for (CLI::App* sub : app.get_subcommands({})) {
    const std::string name = sub->get_name();
    const bool shoots = name == "capture" || name == "watch" || name == "timelapse" ||
                        name == "stack" || name == "serve";
    std::vector<std::string> runOptions = shoots                                 ? shooting
                                          : name == "liveview" || name == "demo" ? frames
                                                                                 : everyStep;
    // serve prints an address for people; --json is refused with it.
    if (name == "serve")
      runOptions.erase(std::find(runOptions.begin(), runOptions.end(), "--json"));
    sub->footer(RunOptionsText(app, runOptions));
  }
}

// Why steps that parsed cannot run together as given, or nothing.
std::optional<std::string> CombinationProblem(const LbhostCommandLine& commandLine) {
  const LbhostOptions& options = commandLine.options;
  if (options.simulator && !options.exePath.empty()) {
    return "--simulator and --exe both name the lensbridge.exe to start: give one";
  }
  for (const Step& step : commandLine.steps) {
    // A rig is fired, collected, read and set as one; the other steps drive one camera.
    const StepKind rigSteps[] = {StepKind::List,    StepKind::Settings, StepKind::Set,
                                 StepKind::Capture, StepKind::Watch,    StepKind::Timelapse,
                                 StepKind::Name,    StepKind::Send,     StepKind::Serve};
    if (NamesSeveralCameras(options.device) &&
        std::find(std::begin(rigSteps), std::end(rigSteps), step.kind) == std::end(rigSteps)) {
      return step.command +
             " drives one camera: give --device one camera (settings, set, "
             "capture, watch, timelapse and serve take several)";
    }
    if (step.reconnect && NamesSeveralCameras(options.device)) {
      return "watch --reconnect follows one camera: give --device one camera";
    }
    if (step.kind == StepKind::Serve && commandLine.steps.size() > 1) {
      return "serve runs alone: its page takes the pictures and drives the camera";
    }
    if (step.kind == StepKind::Serve && options.json) {
      return "serve prints the address of its page; --json does not apply to it";
    }
    if (step.toStdout && options.json) {
      return "liveview --stdout writes the frames to stdout, which --json needs for itself";
    }
  }
  return std::nullopt;
}

}  // namespace

int FocusStepSize(const std::string& word) {
  if (word == "fine") return 1;
  if (word == "medium") return 2;
  if (word == "coarse") return 3;
  return 0;
}

const char* FocusStepName(int direction) {
  const int size = std::abs(direction);
  return size == 1 ? "fine" : size == 2 ? "medium" : "coarse";
}

const char* FocusWayName(int direction) { return direction < 0 ? "far" : "near"; }

ParsedCommandLine ParseLbhostCommandLine(const std::vector<std::string>& words) {
  ParsedCommandLine result;
  for (const auto& w : words) {
    if (w == "--json") result.json = true;
    if (w == "--") break;
  }
  auto usageError = [&](const UsageProblem& problem) {
    result.outcome = ParsedCommandLine::Outcome::UsageError;
    result.text = problem.message;
    result.suggestion = problem.suggestion;
    result.commandLine.steps.clear();
    return result;
  };
  if (words.empty()) return usageError({"no step given (list, settings, set, capture, ...)", ""});

  CLI::App app{kDescription, "lbhost"};
  app.footer(kFooter);
  app.set_help_flag("--help,-h", "this text; after a step, that step's text");
  app.require_subcommand(1, 0);
  app.fallthrough();
  app.get_formatter()->column_width(30);
  app.get_formatter()->label("SUBCOMMAND", "STEP [STEP ...]");
  app.get_formatter()->label("SUBCOMMANDS", "STEP [STEP ...]");
  AddRunOptions(app, result.commandLine.options);
  StepRegistry steps{app, false, &result.commandLine.steps};
  AddSteps(steps);
  AddRunOptionsToStepHelp(app);
  try {
    if (auto refused = ParseWords(app, words, steps.names)) return usageError(*refused);
  } catch (const CLI::CallForVersion&) {
    result.outcome = ParsedCommandLine::Outcome::Version;
    return result;
  } catch (const CLI::CallForHelp&) {
    result.outcome = ParsedCommandLine::Outcome::Help;
    const std::vector<CLI::App*> used = app.get_subcommands();
    result.text = used.empty() ? app.help() : used.back()->help();
    return result;
  }
  if (steps.problem) return usageError(*steps.problem);
  if (auto combination = CombinationProblem(result.commandLine)) {
    return usageError({*combination, ""});
  }
  result.outcome = ParsedCommandLine::Outcome::Run;
  return result;
}

Result<Step> ParsePageStep(const std::string& step, const std::vector<std::string>& words) {
  CLI::App app{"lbhost serve's page", "lbhost"};
  app.set_help_flag();
  app.require_subcommand(1, 1);
  app.fallthrough();
  std::vector<Step> parsed;
  StepRegistry steps{app, true, &parsed};
  AddSteps(steps);
  std::vector<std::string> all = {step};
  all.insert(all.end(), words.begin(), words.end());
  std::optional<UsageProblem> problem = ParseWords(app, all, steps.names);
  if (!problem) problem = steps.problem;
  if (!problem && parsed.size() == 1) return parsed.front();
  if (!problem) problem = UsageProblem{"one step at a time", ""};
  std::string message = problem->message;
  if (!problem->suggestion.empty()) message += " (did you mean " + problem->suggestion + "?)";
  return Failure{ErrorKind::Usage, message};
}
