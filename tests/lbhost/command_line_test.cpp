// lbhost's command line: what a photographer types is either understood in full or refused
// with exit 2 before anything starts.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/platform.h"
#include "lbhost/core/command_line.h"

namespace {

ParsedCommandLine Parse(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return ParseLbhostCommandLine(words);
}

using Outcome = ParsedCommandLine::Outcome;

TEST(LbhostCommandLine, RunsSeveralStepsInOrderWithTheirOwnOptions) {
  const auto parsed = Parse(
      "set aperture f/8 set iso 3200 capture --count=3 --out shots capture set iso --index 2 "
      "focus far --step medium --times 2 stack --shots 4 --step coarse af on watch");
  ASSERT_EQ(parsed.outcome, Outcome::Run) << parsed.text;
  // Each step as "kind command setting=value #index count direction times af".
  std::vector<std::string> steps;
  for (const Step& s : parsed.commandLine.steps)
    steps.push_back(std::to_string(int(s.kind)) + " " + s.command + " " + s.setting + "=" +
                    s.value + " #" + (s.index ? std::to_string(*s.index) : "-") + " " +
                    std::to_string(s.count) + " " + std::to_string(s.focusDirection) + " " +
                    std::to_string(s.times) + (s.on ? " on" : ""));
  // An all-digit value is a value, not an index; a repeated step starts from its defaults;
  // the step after "--index 2" is not taken for its value.
  EXPECT_EQ(steps,
            (std::vector<std::string>{
                "2 set aperture=f/8 #- 1 0 1", "2 set iso=3200 #- 1 0 1", "3 capture = #- 3 0 1",
                "3 capture = #- 1 0 1", "2 set iso= #2 1 0 1", "8 focus = #- 1 -2 2",
                "6 stack = #- 4 3 1", "9 af = #- 1 0 1 on", "4 watch = #- 0 0 1"}));
  EXPECT_EQ(parsed.commandLine.options.outFolder, "shots");
  EXPECT_FALSE(parsed.commandLine.steps.back().reconnect);
  EXPECT_TRUE(Parse("watch --reconnect").commandLine.steps.at(0).reconnect);
  EXPECT_FALSE(parsed.commandLine.options.simulator);
  EXPECT_TRUE(Parse("list --simulator").commandLine.options.simulator);
}

TEST(LbhostCommandLine, RefusesWhatItDoesNotUnderstandAndSuggestsTheNearMiss) {
  const struct {
    const char* line;
    const char* inMessage;
    const char* suggestion;
  } kCases[] = {
      {"capture --cout 2", "--cout", "--count"},
      {"captur", "captur", "capture"},
      {"capture extra", "extra", ""},
      {"set isso 3200", "isso", "iso"},
      {"set iso", "--index", ""},
      {"set iso 3200 --index 3", "not both", ""},
      {"list --count 2", "--count", ""},
      {"get iwo", "iwo", "iso"},
      {"--json liveview --stdout", "--stdout", ""},
      {"", "no step", ""},
      {"serve --listen 5513", "ADDRESS:PORT", ""},
      {"serve --listen example.org:80", "IPv4", ""},
      {"serve --listen 0.0.0.0:65536", "65536", ""},
      {"serve capture", "alone", ""},
      {"--json serve", "--json", ""},
      {"serve --lisen 0.0.0.0:1", "--lisen", "--listen"},
      {"send setCameraFocus focus_direction:n=near", "\"near\" is not a number", ""},
      {"send x data:x=ffd", "\"ffd\" is not hex", ""},
      {"send x data:x=fz", "\"fz\" is not hex", ""},
      {"focu near", "focu", "focus"},
      {"get focus", "unknown setting \"focus\"", ""},
      {"--device all stack --shots 2", "drives one camera", ""},
      {"--device 257,513 watch --reconnect", "follows one camera", ""},
      {"name 257", "give the name", ""},
      {"name 257 front --forget", "not both", ""},
  };
  for (const auto& c : kCases) {
    const auto parsed = Parse(c.line);
    EXPECT_EQ(parsed.outcome, Outcome::UsageError) << c.line;
    EXPECT_NE(parsed.text.find(c.inMessage), std::string::npos) << c.line << ": " << parsed.text;
    EXPECT_EQ(parsed.text.find('\n'), std::string::npos) << c.line << ": one line only";
    EXPECT_EQ(parsed.suggestion, c.suggestion) << c.line;
    EXPECT_TRUE(parsed.commandLine.steps.empty()) << c.line;
  }
  // The caller still learns it should answer in JSON.
  EXPECT_TRUE(Parse("--json capture --cout 2").json);
}

// Every check's refusal, in lbhost's words and with the step only for a step's own option.
TEST(LbhostCommandLine, RefusesAValueSayingWhatTheOptionTakes) {
  const std::pair<const char*, const char*> kCases[] = {
      {"capture --count 0", "capture: --count must be a whole number from 1 to 1000000, not \"0\""},
      {"--timeout 1.5 list", "--timeout must be a whole number from 1 to 1000000, not \"1.5\""},
      {"--counter -1 list", "--counter must be a whole number from 0 to 999999999, not \"-1\""},
      {"set iso --index 9999999999",
       "set: --index must be a whole number from 0 to 1000000, not \"9999999999\""},
      {"--hook-timeout nan list",
       "--hook-timeout must be a number of seconds above 0 and at most 31 days, not \"nan\""},
      {"stack --shots 2 --step fin",
       "stack: --step must be fine, medium or coarse, not \"fin\" (did you mean fine?)"},
      {"focus in", "focus: WAY must be near or far, not \"in\""},
      {"capture --count", "capture: --count needs a value: a whole number from 1 to 1000000"},
      {"list --device", "--device needs a value: ID|NAME[,...]|all"},
      {"timelapse --interval 2", "timelapse needs --count: a whole number from 1 to 1000000"},
      {"get", "get needs SETTING: aperture, shutter, iso, wb, focus_mode or af"},
      {"watch --reconnect=x", "watch: --reconnect takes no value"},
      {"capture --filename a:b",
       "--filename \"a:b\": ':' cannot be part of a file name (the folder goes in --out)"},
      {"--hook /no/such/on-shot.cmd list", "--hook \"/no/such/on-shot.cmd\": no such file"},
      {"--hook on-shot.cmd list", "--hook \"on-shot.cmd\": no such file here or on PATH"},
      {"--simulator --exe Z:\\lensbridge.exe list",
       "--simulator and --exe both name the lensbridge.exe to start: give one"},
  };
  for (const auto& [line, message] : kCases) {
    const auto parsed = Parse(line);
    EXPECT_EQ(parsed.outcome, Outcome::UsageError) << line;
    EXPECT_EQ(parsed.text, message) << line;
  }
  // Decimal, as a photographer copies it from a file name, not octal as CLI11 reads it.
  EXPECT_EQ(Parse("--counter 0012 capture").commandLine.options.counter, 12);
}

// A hook that names a file is run only when the file is there; a bare command is cmd.exe's to find.
TEST(LbhostCommandLine, AHookThatNamesAFileNeedsTheFile) {
  const std::string self = platform::executablePath();
  for (const auto& [hook, runs] : {std::pair{std::string("echo saved"), true},
                                   {"\"" + self + "\" --quiet", true},
                                   {"\"" + self + ".missing\" x", false},
                                   {"C:\\hooks\\save.bat", false}}) {
    EXPECT_EQ(ParseLbhostCommandLine({"--hook", hook, "list"}).outcome == Outcome::Run, runs)
        << hook;
  }
}

// A step's name where a step wants its own word is that word ("get af", "send list") or
// refused; CLI11 once read such a word for ever instead.
TEST(LbhostCommandLine, AStepsNameAsAnotherStepsWordIsTakenOrRefused) {
  const char* kSteps[] = {"list",     "settings", "set", "capture", "watch", "timelapse", "stack",
                          "liveview", "focus",    "af",  "send",    "demo",  "get",       "serve"};
  for (const char* step : kSteps) {
    for (const char* word : kSteps) {
      for (const std::string& line :
           {std::string(step) + " " + word, std::string(step) + " x " + word}) {
        const auto outcome = Parse(line).outcome;
        EXPECT_TRUE(outcome == Outcome::Run || outcome == Outcome::UsageError) << line;
      }
    }
  }
  EXPECT_EQ(Parse("get af").commandLine.steps.at(0).setting, "af");
  EXPECT_EQ(Parse("send list").commandLine.steps.at(0).requestName, "list");
}

TEST(LbhostCommandLine, ServeListensOnLoopbackUnlessToldOtherwise) {
  for (const auto& [line, address] :
       {std::pair{"serve --out shots", "127.0.0.1:5513"},
        {"--device D850 serve --listen localhost:8080", "127.0.0.1:8080"}}) {
    const Step serve = Parse(line).commandLine.steps.at(0);
    EXPECT_EQ(serve.listenHost + ":" + std::to_string(serve.listenPort), address) << line;
  }
}

TEST(LbhostCommandLine, VersionAndHelpNeedNoStep) {
  EXPECT_EQ(Parse("--version").outcome, Outcome::Version);
  // A step's help lists the run's options that apply to it, with the values they take.
  for (const auto& [line, inHelp] : std::vector<std::pair<const char*, std::vector<const char*>>>{
           {"--help", {"timelapse"}},
           {"liveview --help", {"--out"}},
           {"capture --help", {"--filename", "--hook-timeout", "--json"}},
           {"stack --help", {"--shots", "fine, medium or coarse", "near or far"}}}) {
    const auto help = Parse(line);
    EXPECT_EQ(help.outcome, Outcome::Help) << line;
    for (const char* text : inHelp)
      EXPECT_NE(help.text.find(text), std::string::npos) << line << ": " << text;
  }
}

}  // namespace
