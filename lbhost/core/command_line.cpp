#include "lbhost/core/command_line.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <optional>

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
// `stepNames` (not owned) is complete once every step is registered, before any parse.
CLI::Validator NotAStep(const std::vector<std::string>* stepNames) {
  return CLI::Validator(
      [stepNames](std::string& text) -> std::string {
        const bool step = std::count(stepNames->begin(), stepNames->end(), text) > 0;
        return step ? "a step" : "";
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

// A count of shots, frames or steps, under the option `name`.
CLI::Option* AddCount(CLI::App& sub, const char* name, int& into, const char* help) {
  return sub.add_option(name, into, help)->type_name("N")->transform(AtLeastOne());
}

// Seconds, into a double or an optional one.
template <class Seconds>
CLI::Option* AddSeconds(CLI::App& sub, const char* name, Seconds& into, const char* help) {
  return sub.add_option(name, into, help)->type_name("S")->check(PositiveSeconds());
}

// What a step's options are read into while CLI11 parses it. CLI11 clears a repeated step's
// results but not the variables they were written to, so each step starts from fresh ones.
struct StepWords {
  Step step;
  std::string word1, word2;
  std::string stepSize = "fine";
  std::string way;
  std::string listen = "127.0.0.1:5513";
};

// A step's own check, run once its words are read: fills in the Step, or says what is wrong.
using StepCheck = std::optional<UsageProblem> (*)(StepWords& w, const CLI::App& sub);

// Where a step may be asked for: on lbhost's command line, on serve's page, or both.
enum class Asked { CommandLine, Page, Both };

// The steps of one parse, for the command line or for the page, as CLI11 subcommands. Each
// step parsed is checked and appended to *steps; the first problem is kept. Its subcommands
// call back into it: it stays where it was made until the parse is over.
struct StepRegistry {
  StepRegistry(CLI::App& app, bool page, std::vector<Step>* steps)
      : app(app), page(page), steps(steps) {}

  CLI::App& app;
  bool page;
  std::vector<Step>* steps;  // not owned
  StepWords w;
  std::optional<UsageProblem> problem;
  std::vector<std::string> names;  // the steps registered, in order

  // The step's subcommand, or null when it is not asked for in this parse.
  CLI::App* add(const char* name, StepKind kind, Asked where, const char* help,
                StepCheck check = nullptr) {
    if (where == (page ? Asked::CommandLine : Asked::Page)) return nullptr;
    names.push_back(name);
    CLI::App* sub = app.add_subcommand(name, help);
    sub->group("Steps");
    sub->immediate_callback();
    sub->fallthrough();
    sub->validate_positionals();
    // Run at once, so a step may come more than once.
    sub->callback([this, sub, kind, name, check] {
      w.step.kind = kind;
      w.step.command = name;
      if (!problem && check) problem = check(w, *sub);
      if (!problem) steps->push_back(w.step);
      w = StepWords{};
    });
    return sub;
  }
};

// One registration per step, in the order a near miss is matched against them.

void AddList(StepRegistry& r) {
  r.add("list", StepKind::List, Asked::CommandLine, "the cameras the process finds");
}

void AddSettings(StepRegistry& r) {
  r.add("settings", StepKind::Settings, Asked::CommandLine,
        "the camera's settings and the choices it offers");
}

void AddSet(StepRegistry& r) {
  CLI::App* sub =
      r.add("set", StepKind::Set, Asked::Both,
            "set SETTING VALUE: change aperture, shutter, iso or wb to the entry the camera lists "
            "(\"f/8\", \"1/250\", \"3200\", \"Daylight\")",
            [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
              if (!FindSetting(w.word1)) {
                return UsageProblem{
                    "set: unknown setting \"" + w.word1 + "\" (aperture, shutter, iso or wb)",
                    NearestWord(w.word1, Names(ChangeableSettings()))};
              }
              w.step.setting = w.word1;
              w.step.value = w.word2;
              if (w.word2.empty() != !w.step.index) return std::nullopt;
              return UsageProblem{
                  w.word2.empty() ? "set " + w.word1 + ": give the value, or --index N"
                                  : "set " + w.word1 + ": give the value or --index N, not both",
                  ""};
            });
  if (!sub) return;
  sub->add_option("SETTING", r.w.word1, "aperture, shutter, iso or wb")->required();
  sub->add_option("VALUE", r.w.word2, "the entry as the camera lists it, or its number")
      ->check(NotAStep(&r.names));
  sub->add_option("--index", r.w.step.index, "the entry by its 0-based place in the list instead")
      ->type_name("N")
      ->transform(WholeNumber(0, 1000000));
}

void AddCapture(StepRegistry& r) {
  CLI::App* sub = r.add("capture", StepKind::Capture, Asked::Both, "shoot and download");
  if (!sub) return;
  AddCount(*sub, "--count", r.w.step.count, "frames to shoot (default 1)");
  AddSeconds(*sub, "--interval", r.w.step.intervalSeconds, "pause between frames in seconds");
}

void AddWatch(StepRegistry& r) {
  CLI::App* sub = r.add("watch", StepKind::Watch, Asked::CommandLine,
                        "download every shot taken with the camera's own release, until --count "
                        "shots, --seconds or Ctrl+C",
                        [](StepWords& w, const CLI::App& sub) -> std::optional<UsageProblem> {
                          if (sub.count("--count") == 0) w.step.count = 0;  // no limit
                          return std::nullopt;
                        });
  if (!sub) return;
  AddCount(*sub, "--count", r.w.step.count, "shots to wait for");
  AddSeconds(*sub, "--seconds", r.w.step.seconds, "how long to watch");
  sub->add_flag("--reconnect", r.w.step.reconnect,
                "wait for an unplugged camera to come back and go on watching");
}

void AddTimelapse(StepRegistry& r) {
  CLI::App* sub = r.add("timelapse", StepKind::Timelapse, Asked::Both,
                        "--count shots, one every --interval seconds from the first (late shots "
                        "do not shift the later ones)");
  if (!sub) return;
  AddSeconds(*sub, "--interval", r.w.step.intervalSeconds, "seconds between shot starts")
      ->required();
  AddCount(*sub, "--count", r.w.step.count, "shots to take")->required();
}

// The focus step's size and way, as stack and focus take them.
std::optional<UsageProblem> FocusDirection(StepWords& w, const CLI::App&) {
  w.step.focusDirection = FocusStepSize(w.stepSize) * (w.way == "far" ? -1 : 1);
  return std::nullopt;
}

void AddStack(StepRegistry& r) {
  CLI::App* sub = r.add("stack", StepKind::Stack, Asked::Both,
                        "focus bracketing: --shots shots, the lens driven one --step between them",
                        FocusDirection);
  if (!sub) return;
  AddCount(*sub, "--shots", r.w.step.count, "shots in the stack")->required();
  sub->add_option("--step", r.w.stepSize,
                  "focus step between shots: fine, medium or coarse (default fine)")
      ->check(OneOf({"fine", "medium", "coarse"}));
  sub->add_option("--direction", r.w.way, "which way the focus moves: near or far (default near)")
      ->check(OneOf({"near", "far"}));
}

void AddLiveView(StepRegistry& r) {
  CLI::App* sub = r.add("liveview", StepKind::LiveView, Asked::CommandLine,
                        "run live view; with --out its frames are saved as JPEG files",
                        [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
                          if (!w.step.seconds) w.step.seconds = 3;
                          return std::nullopt;
                        });
  if (!sub) return;
  AddSeconds(*sub, "--seconds", r.w.step.seconds, "how long (default 3)");
  sub->add_flag("--stdout", r.w.step.toStdout,
                "write the frames to stdout as an MJPEG stream (| ffplay -f mjpeg -)");
}

void AddFocus(StepRegistry& r) {
  CLI::App* sub = r.add(
      "focus", StepKind::Focus, Asked::Both,
      "focus near|far: drive the lens toward the nearest focus or toward infinity", FocusDirection);
  if (!sub) return;
  sub->validate_positionals(false);  // "focus in" says what is wrong with "in"
  sub->add_option("WAY", r.w.way, "near or far")->required()->check(OneOf({"near", "far"}));
  sub->add_option("--step", r.w.stepSize, "fine, medium or coarse (default fine)")
      ->check(OneOf({"fine", "medium", "coarse"}));
  AddCount(*sub, "--times", r.w.step.times, "steps to drive (default 1)");
}

// STATE on or off, of af and of the page's live view.
void AddOnOff(StepRegistry& r, const char* name, StepKind kind, Asked where, const char* help) {
  CLI::App* sub = r.add(name, kind, where, help,
                        [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
                          w.step.on = w.word1 == "on";
                          return std::nullopt;
                        });
  if (!sub) return;
  sub->validate_positionals(false);
  sub->add_option("STATE", r.w.word1, "on or off")->required()->check(OneOf({"on", "off"}));
}

void AddAf(StepRegistry& r) {
  AddOnOff(r, "af", StepKind::Af, Asked::Both, "af on|off: switch contrast auto-focus on or off");
}

void AddSend(StepRegistry& r) {
  CLI::App* sub = r.add("send", StepKind::Send, Asked::CommandLine,
                        "send NAME [key=value ...]: one raw request; prints what comes back",
                        [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
                          std::string why;
                          if (BuildParameterTable(w.step.requestParameters, &why))
                            return std::nullopt;
                          return UsageProblem{"send " + w.step.requestName + ": " + why, ""};
                        });
  if (!sub) return;
  // Any word is a request's name, a step's name too: "send list" sends "list".
  sub->add_option("NAME", r.w.step.requestName, "the request's name")->required();
  sub->add_option("PARAMETERS", r.w.step.requestParameters,
                  "key=value (a number when it reads as one), key:s=text, key:n=number, key:x=hex")
      ->check(CLI::Validator(
          [](std::string& text) {
            return text.find('=') == std::string::npos ? "not key=value" : "";
          },
          ""));
}

void AddDemo(StepRegistry& r) {
  r.add("demo", StepKind::Demo, Asked::CommandLine, "a whole tether session, step by step");
}

void AddGet(StepRegistry& r) {
  CLI::App* sub =
      r.add("get", StepKind::Get, Asked::CommandLine,
            "get SETTING: the current value of one setting, alone",
            [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
              std::vector<std::string> names = Names(ChangeableSettings());
              names.push_back("focus_mode");
              names.push_back("af");
              w.step.setting = w.word1;
              if (std::count(names.begin(), names.end(), w.word1) > 0) return std::nullopt;
              return UsageProblem{"get: unknown setting \"" + w.word1 +
                                      "\" (aperture, shutter, iso, wb, focus_mode or af)",
                                  NearestWord(w.word1, names)};
            });
  if (sub)
    sub->add_option("SETTING", r.w.word1, "aperture, shutter, iso, wb, focus_mode or af")
        ->required();
}

// --listen as ADDRESS:PORT.
std::optional<UsageProblem> CheckListen(StepWords& w, const CLI::App&) {
  std::string why;
  if (ParseListenAddress(w.listen, &w.step.listenHost, &w.step.listenPort, &why))
    return std::nullopt;
  return UsageProblem{"serve --listen: " + why, ""};
}

void AddServe(StepRegistry& r) {
  CLI::App* sub = r.add("serve", StepKind::Serve, Asked::CommandLine,
                        "keep the camera connected and serve a page to shoot from: live view, "
                        "settings, focus, stacks, timelapses and the pictures; runs until Ctrl+C",
                        CheckListen);
  if (!sub) return;
  sub->add_option("--listen", r.w.listen,
                  "ADDRESS:PORT to serve on (default 127.0.0.1:5513; 0.0.0.0:PORT, or [::]:PORT "
                  "for IPv6 too, for a phone on the studio's network)")
      ->type_name("ADDRESS:PORT");
}

// The page's own steps.
void AddLiveViewSwitch(StepRegistry& r) {
  AddOnOff(r, "live", StepKind::LiveViewSwitch, Asked::Page, "live on|off: the page's live view");
}

void AddStop(StepRegistry& r) {
  r.add("stop", StepKind::Stop, Asked::Page, "ends the running stack or timelapse");
}

void AddSteps(StepRegistry& r) {
  for (auto add :
       {AddList, AddSettings, AddSet, AddCapture, AddWatch, AddTimelapse, AddStack, AddLiveView,
        AddFocus, AddAf, AddSend, AddDemo, AddGet, AddServe, AddLiveViewSwitch, AddStop}) {
    add(r);
  }
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
      return UsageProblem{"unknown step \"" + word + "\" (lbhost --help lists them)",
                          NearestWord(word, stepNames)};
    }
    return UsageProblem{"unexpected argument \"" + word + "\" after " + last->get_name(),
                        NearestWord(word, stepNames)};
  } catch (const CLI::RequiredError& e) {
    const std::string word = FirstUnexpected(app);
    if (app.get_subcommands().empty() && !word.empty() && word[0] != '-') {
      return UsageProblem{"unknown step \"" + word + "\" (lbhost --help lists them)",
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
}

// Each step's help lists the run's options that apply to it.
void AddRunOptionsToStepHelp(CLI::App& app) {
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
}

// Why steps that parsed cannot run together as given, or nothing.
std::optional<std::string> CombinationProblem(const LbhostCommandLine& commandLine) {
  const LbhostOptions& options = commandLine.options;
  if (options.simulator && !options.exePath.empty()) {
    return "--simulator and --exe both name the lensbridge.exe to start: give one";
  }
  for (const Step& step : commandLine.steps) {
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
