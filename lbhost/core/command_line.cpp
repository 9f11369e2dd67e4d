#include "lbhost/core/command_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include <CLI/CLI.hpp>

#include "platform/platform.h"
#include "values/lua_value.h"
#include "lbhost/core/command_args.h"
#include "lbhost/core/file_name_pattern.h"
#include "lbhost/core/listen_address.h"
#include "lbhost/vocabulary/nearest_word.h"
#include "lbhost/vocabulary/setting_match.h"

namespace {

const char kDescription[] =
    "Drives cameras through lensbridge.exe as the photo application does: starts the process,\n"
    "connects to its pipes, runs the steps in the order given and shuts it down again.\n"
    "Exit codes: 0 done, 1 the camera or the process failed, 2 the command line is wrong.";

const char kFooter[] =
    "Several steps run in one go, on one connection:\n"
    "  lbhost set aperture f/8 set shutter 1/250 capture --count 3 --out shots\n"
    "lbhost STEP --help describes one step.";

// A usage error raised from a step's own checks, with the word probably meant.
struct UsageProblem {
  std::string message;
  std::string suggestion;
};

std::vector<std::string> Names(const std::vector<SettingName>& settings) {
  std::vector<std::string> names;
  for (const auto& s : settings) names.push_back(s.name);
  return names;
}

// A check whose refusal says, in lbhost's words, what the option takes: "must be WHAT, not
// "TEXT"". The check's name keeps WHAT for the message of an option given without its value.
// `accepts` may rewrite the text into the form CLI11 then converts.
CLI::Validator Takes(const std::string& what, std::function<bool(std::string&)> accepts) {
  return CLI::Validator(
      [what, accepts](std::string& text) {
        return accepts(text) ? std::string() : "must be " + what + ", not \"" + text + "\"";
      },
      "", what);
}

// A whole number in decimal, given with ->transform(). Not CLI::Range: its refusals are
// CLI11's words, and CLI11 reads "0012" as octal, so the number is handed on without its
// leading zeros (which ->check() would not let it do).
CLI::Validator WholeNumber(long long least, long long most) {
  return Takes("a whole number from " + std::to_string(least) + " to " + std::to_string(most),
               [least, most](std::string& text) {
                 char* end = nullptr;
                 errno = 0;
                 const long long value = std::strtoll(text.c_str(), &end, 10);
                 if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ||
                     *end != '\0' || errno == ERANGE || value < least || value > most) {
                   return false;
                 }
                 text = std::to_string(value);
                 return true;
               });
}

// A count of shots, frames or steps.
CLI::Validator AtLeastOne() { return WholeNumber(1, 1000000); }

// Seconds above 0, up to a month. Not CLI::PositiveNumber or CLI::Range: both let "nan" pass.
CLI::Validator PositiveSeconds() {
  return Takes("a number of seconds above 0 and at most 31 days", [](std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno != ERANGE && std::isfinite(value) && value > 0 &&
           value <= 31.0 * 24 * 3600;
  });
}

// One of `words`; unlike CLI::IsMember, it names the word probably meant.
CLI::Validator OneOf(std::vector<std::string> words) {
  std::string choices = words.front();
  for (std::size_t i = 1; i < words.size(); ++i) {
    choices += (i + 1 == words.size() ? " or " : ", ") + words[i];
  }
  return CLI::Validator(
      [words, choices](std::string& text) -> std::string {
        for (const auto& w : words) {
          if (w == text) return std::string();
        }
        std::string message = "must be " + choices + ", not \"" + text + "\"";
        const std::string near = NearestWord(text, words);
        if (!near.empty()) message += " (did you mean " + near + "?)";
        return message;
      },
      "", choices);
}

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

// An optional positional word must not swallow the next step's name: a word that names a step
// is left for the step list (CLI11 skips positionals that fail their check).
//
// Never on a required positional. While one is empty, CLI11 2.1 hands it any word that names a
// step not yet used ("get af"), ignores that the word was refused and reads the same word again,
// for ever. A required positional takes whatever comes, and its step's own check names it.
CLI::Validator NotAStep(const std::vector<std::string>& stepNames) {
  return CLI::Validator(
      [stepNames](std::string& text) -> std::string {
        for (const auto& s : stepNames) {
          if (s == text) return "a step";
        }
        return std::string();
      },
      "");
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

}  // namespace

int FocusStepSize(const std::string& word) {
  if (word == "fine") return 1;
  if (word == "medium") return 2;
  if (word == "coarse") return 3;
  return 0;
}

const char* FocusStepName(int direction) {
  switch (std::abs(direction)) {
    case 1:
      return "fine";
    case 2:
      return "medium";
    default:
      return "coarse";
  }
}

const char* FocusWayName(int direction) { return direction < 0 ? "far" : "near"; }

ParsedCommandLine ParseLbhostCommandLine(const std::vector<std::string>& words) {
  ParsedCommandLine result;
  for (const auto& w : words) {
    if (w == "--json") result.json = true;
    if (w == "--") break;
  }

  CLI::App app{kDescription, "lbhost"};
  app.footer(kFooter);
  app.set_help_flag("--help,-h", "this text; after a step, that step's text");
  app.require_subcommand(1, 0);
  app.fallthrough();
  app.get_formatter()->column_width(30);
  app.get_formatter()->label("SUBCOMMAND", "STEP [STEP ...]");
  app.get_formatter()->label("SUBCOMMANDS", "STEP [STEP ...]");

  LbhostOptions& options = result.commandLine.options;
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
                 "the camera: its device id or name from 'list' (default: the first)")
      ->type_name("ID|NAME");
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

  std::vector<Step>& steps = result.commandLine.steps;
  std::optional<UsageProblem> problem;
  const std::vector<std::string> stepNames = {
      "list",     "settings", "set", "capture", "watch", "timelapse", "stack",
      "liveview", "focus",    "af",  "send",    "demo",  "get",       "serve"};

  // Every step's values live in `current` while CLI11 parses it; its callback (run at once,
  // so a step may come more than once) runs the step's own check from `checks` and appends
  // a copy.
  Step current;
  std::string word1, word2, stepSize = "fine", way;
  std::map<CLI::App*, std::function<void()>> checks;
  auto addStep = [&](const char* name, StepKind kind, const char* help) {
    CLI::App* sub = app.add_subcommand(name, help);
    sub->group("Steps");
    sub->immediate_callback();
    sub->fallthrough();
    sub->validate_positionals();
    // CLI11 clears a repeated step's results but not the variables they were written
    // to, so each step starts from fresh values here and is reset after its callback.
    sub->callback([&, kind, name, sub] {
      current.kind = kind;
      current.command = name;
      if (!problem && checks.count(sub)) checks[sub]();
      if (!problem) steps.push_back(current);
      current = Step{};
      word1.clear();
      word2.clear();
      stepSize = "fine";
      way.clear();
    });
    return sub;
  };

  addStep("list", StepKind::List, "the cameras the process finds");

  addStep("settings", StepKind::Settings, "the camera's settings and the choices it offers");

  CLI::App* get =
      addStep("get", StepKind::Get, "get SETTING: the current value of one setting, alone");
  get->add_option("SETTING", word1, "aperture, shutter, iso, wb, focus_mode or af")->required();
  checks[get] = [&] {
    std::vector<std::string> names = Names(ChangeableSettings());
    names.push_back("focus_mode");
    names.push_back("af");
    for (const auto& n : names) {
      if (n == word1) {
        current.setting = word1;
        return;
      }
    }
    problem = UsageProblem{
        "get: unknown setting \"" + word1 + "\" (aperture, shutter, iso, wb, focus_mode or af)",
        NearestWord(word1, names)};
  };

  CLI::App* set = addStep("set", StepKind::Set,
                          "set SETTING VALUE: change aperture, shutter, iso or wb to the entry "
                          "the camera lists (\"f/8\", \"1/250\", \"3200\", \"Daylight\")");
  set->add_option("SETTING", word1, "aperture, shutter, iso or wb")->required();
  set->add_option("VALUE", word2, "the entry as the camera lists it, or its number")
      ->check(NotAStep(stepNames));
  set->add_option("--index", current.index, "the entry by its 0-based place in the list instead")
      ->type_name("N")
      ->transform(WholeNumber(0, 1000000));
  checks[set] = [&] {
    if (!FindSetting(word1)) {
      const std::string near = NearestWord(word1, Names(ChangeableSettings()));
      problem = UsageProblem{
          "set: unknown setting \"" + word1 + "\" (aperture, shutter, iso or wb)", near};
      return;
    }
    current.setting = word1;
    current.value = word2;
    if (word2.empty() == !current.index.has_value()) {
      problem =
          UsageProblem{word2.empty() ? "set " + word1 + ": give the value, or --index N"
                                     : "set " + word1 + ": give the value or --index N, not both",
                       ""};
    }
  };

  CLI::App* capture = addStep("capture", StepKind::Capture, "shoot and download");
  capture->add_option("--count", current.count, "frames to shoot (default 1)")
      ->type_name("N")
      ->transform(AtLeastOne());
  capture->add_option("--interval", current.intervalSeconds, "pause between frames in seconds")
      ->type_name("S")
      ->check(PositiveSeconds());

  CLI::App* watch = addStep("watch", StepKind::Watch,
                            "download every shot taken with the camera's own release, until "
                            "--count shots, --seconds or Ctrl+C");
  watch->add_option("--count", current.count, "shots to wait for")
      ->type_name("N")
      ->transform(AtLeastOne());
  watch->add_option("--seconds", current.seconds, "how long to watch")
      ->type_name("S")
      ->check(PositiveSeconds());
  watch->add_flag("--reconnect", current.reconnect,
                  "wait for an unplugged camera to come back and go on watching");
  checks[watch] = [&] {
    if (watch->count("--count") == 0) current.count = 0;  // no limit
  };

  CLI::App* timelapse = addStep("timelapse", StepKind::Timelapse,
                                "--count shots, one every --interval seconds from the first "
                                "(late shots do not shift the later ones)");
  timelapse->add_option("--interval", current.intervalSeconds, "seconds between shot starts")
      ->type_name("S")
      ->required()
      ->check(PositiveSeconds());
  timelapse->add_option("--count", current.count, "shots to take")
      ->type_name("N")
      ->required()
      ->transform(AtLeastOne());

  CLI::App* stack = addStep("stack", StepKind::Stack,
                            "focus bracketing: --shots shots, the lens driven one --step "
                            "between them");
  stack->add_option("--shots", current.count, "shots in the stack")
      ->type_name("N")
      ->required()
      ->transform(AtLeastOne());
  stack
      ->add_option("--step", stepSize,
                   "focus step between shots: fine, medium or coarse (default fine)")
      ->check(OneOf({"fine", "medium", "coarse"}));
  stack->add_option("--direction", way, "which way the focus moves: near or far (default near)")
      ->check(OneOf({"near", "far"}));
  checks[stack] = [&] {
    current.focusDirection = FocusStepSize(stepSize) * (way == "far" ? -1 : 1);
  };

  CLI::App* liveview = addStep("liveview", StepKind::LiveView,
                               "run live view; with --out its frames are saved as JPEG files");
  liveview->add_option("--seconds", current.seconds, "how long (default 3)")
      ->type_name("S")
      ->check(PositiveSeconds());
  liveview->add_flag("--stdout", current.toStdout,
                     "write the frames to stdout as an MJPEG stream (| ffplay -f mjpeg -)");
  checks[liveview] = [&] {
    if (!current.seconds) current.seconds = 3;
  };

  CLI::App* focus = addStep("focus", StepKind::Focus,
                            "focus near|far: drive the lens toward the nearest focus or toward "
                            "infinity");
  focus->validate_positionals(false);  // "focus in" says what is wrong with "in"
  focus->add_option("WAY", way, "near or far")->required()->check(OneOf({"near", "far"}));
  focus->add_option("--step", stepSize, "fine, medium or coarse (default fine)")
      ->check(OneOf({"fine", "medium", "coarse"}));
  focus->add_option("--times", current.times, "steps to drive (default 1)")
      ->type_name("N")
      ->transform(AtLeastOne());
  checks[focus] = [&] {
    current.focusDirection = FocusStepSize(stepSize) * (way == "far" ? -1 : 1);
  };

  CLI::App* af = addStep("af", StepKind::Af, "af on|off: switch contrast auto-focus on or off");
  af->validate_positionals(false);
  af->add_option("STATE", word1, "on or off")->required()->check(OneOf({"on", "off"}));
  checks[af] = [&] { current.afOn = word1 == "on"; };

  CLI::App* send = addStep("send", StepKind::Send,
                           "send NAME [key=value ...]: one raw request; prints what comes back");
  // Any word is a request's name, a step's name too: "send list" sends "list".
  send->add_option("NAME", current.requestName, "the request's name")->required();
  send->add_option("PARAMETERS", current.requestParameters,
                   "key=value (a number when it reads as one), key:s=text, key:n=number, key:x=hex")
      ->check(CLI::Validator(
          [](std::string& text) {
            return text.find('=') == std::string::npos ? "not key=value" : "";
          },
          ""));
  checks[send] = [&] {
    std::string why;
    if (!BuildParameterTable(current.requestParameters, &why)) {
      problem = UsageProblem{"send " + current.requestName + ": " + why, ""};
    }
  };

  addStep("demo", StepKind::Demo, "a whole tether session, step by step");

  CLI::App* serve =
      addStep("serve", StepKind::Serve,
              "keep the camera connected and serve a page to shoot from: live view, "
              "settings, focus, stacks, timelapses and the pictures; runs until Ctrl+C");
  std::string listen = "127.0.0.1:5513";
  serve
      ->add_option("--listen", listen,
                   "ADDRESS:PORT to serve on (default 127.0.0.1:5513; 0.0.0.0:PORT, or [::]:PORT "
                   "for IPv6 too, for a phone "
                   "on the studio's network)")
      ->type_name("ADDRESS:PORT");
  checks[serve] = [&] {
    std::string why;
    if (!ParseListenAddress(listen, &current.listenHost, &current.listenPort, &why)) {
      problem = UsageProblem{"serve --listen: " + why, ""};
    }
    listen = "127.0.0.1:5513";
  };

  const std::vector<std::string> everyStep = {"--device", "--timeout", "--json", "--exe",
                                              "--simulator"};
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

  auto usageError = [&](const std::string& message, const std::string& suggestion) {
    result.outcome = ParsedCommandLine::Outcome::UsageError;
    result.text = message;
    result.suggestion = suggestion;
    result.commandLine.steps.clear();
    return result;
  };

  if (words.empty()) {
    return usageError("no step given (list, settings, set, capture, ...)", "");
  }
  std::vector<std::string> reversed(words.rbegin(), words.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForVersion&) {
    result.outcome = ParsedCommandLine::Outcome::Version;
    return result;
  } catch (const CLI::CallForHelp&) {
    result.outcome = ParsedCommandLine::Outcome::Help;
    const std::vector<CLI::App*> used = app.get_subcommands();
    result.text = used.empty() ? app.help() : used.back()->help();
    return result;
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
      return usageError(
          "unknown option " + name + (last ? " for " + last->get_name() : std::string()),
          NearestWord(name, known));
    }
    if (!last) {
      return usageError("unknown step \"" + word + "\" (lbhost --help lists them)",
                        NearestWord(word, stepNames));
    }
    return usageError("unexpected argument \"" + word + "\" after " + last->get_name(),
                      NearestWord(word, stepNames));
  } catch (const CLI::RequiredError& e) {
    const std::string word = FirstUnexpected(app);
    if (app.get_subcommands().empty() && !word.empty() && word[0] != '-') {
      return usageError("unknown step \"" + word + "\" (lbhost --help lists them)",
                        NearestWord(word, stepNames));
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
    return usageError(message, "");
  } catch (const CLI::ParseError& e) {
    return usageError(RefusalText(e, app), "");
  }
  if (problem) return usageError(problem->message, problem->suggestion);
  if (options.simulator && !options.exePath.empty()) {
    return usageError("--simulator and --exe both name the lensbridge.exe to start: give one", "");
  }
  for (const Step& step : steps) {
    if (step.kind == StepKind::Serve && steps.size() > 1) {
      return usageError("serve runs alone: its page takes the pictures and drives the camera", "");
    }
    if (step.kind == StepKind::Serve && options.json) {
      return usageError("serve prints the address of its page; --json does not apply to it", "");
    }
    if (step.toStdout && options.json) {
      return usageError(
          "liveview --stdout writes the frames to stdout, which --json needs for itself", "");
    }
  }
  result.outcome = ParsedCommandLine::Outcome::Run;
  return result;
}
