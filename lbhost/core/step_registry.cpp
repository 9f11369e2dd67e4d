#include "lbhost/core/step_registry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "values/lua_value.h"
#include "lbhost/core/command_args.h"
#include "lbhost/core/listen_address.h"
#include "lbhost/vocabulary/nearest_word.h"
#include "lbhost/vocabulary/setting_match.h"

namespace step_registry {

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

CLI::App* StepRegistry::add(const char* name, StepKind kind, Asked where, const char* help,
                            StepCheck check) {
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

// A count of shots, frames or steps, under the option `name`.
CLI::Option* AddCount(CLI::App& sub, const char* name, int& into, const char* help) {
  return sub.add_option(name, into, help)->type_name("N")->transform(AtLeastOne());
}

// Seconds, into a double or an optional one.
template <class Seconds>
CLI::Option* AddSeconds(CLI::App& sub, const char* name, Seconds& into, const char* help) {
  return sub.add_option(name, into, help)->type_name("S")->check(PositiveSeconds());
}

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

void AddName(StepRegistry& r) {
  CLI::App* sub = r.add("name", StepKind::Name, Asked::CommandLine,
                        "name DEVICE NAME: give a camera a name that lasts, for --device, "
                        "{camera} and the output; name DEVICE --forget drops it",
                        [](StepWords& w, const CLI::App&) -> std::optional<UsageProblem> {
                          w.step.camera = w.word1;
                          w.step.cameraName = w.word2;
                          if (w.word2.empty() != w.step.forget) {
                            return UsageProblem{
                                w.step.forget ? "name " + w.word1 +
                                                    ": give the name or --forget, "
                                                    "not both"
                                              : "name " + w.word1 + ": give the name, or --forget",
                                ""};
                          }
                          return std::nullopt;
                        });
  if (!sub) return;
  sub->add_option("DEVICE", r.w.word1, "the camera: its device id, model or present name")
      ->required();
  sub->add_option("NAME", r.w.word2, "the name to give it")->check(NotAStep(&r.names));
  sub->add_flag("--forget", r.w.step.forget, "drop the camera's name");
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
        AddFocus, AddAf, AddSend, AddDemo, AddGet, AddName, AddServe, AddLiveViewSwitch, AddStop}) {
    add(r);
  }
}

}  // namespace step_registry
