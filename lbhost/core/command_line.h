// lbhost's command line: global options and one or more steps, checked in full before
// anything is started.
//
//   lbhost [options] STEP [step options] [STEP [step options] ...]
//
// Options and step options take "--key value" or "--key=value". Unknown options, extra
// arguments and bad values are usage errors (exit 2) with a one-line message that names the
// problem and, for a near miss, the word that was probably meant.
// The page of lbhost serve sends its commands in the same words, checked by the same code.
// Portable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lbhost/core/result.h"

enum class StepKind {
  List,
  Settings,
  Set,
  Capture,
  Watch,
  Timelapse,
  Stack,
  LiveView,
  Focus,
  Af,
  Send,
  Demo,
  Get,
  Name,
  Serve,
  // The page's own: its live view on or off, and the end of a running stack or timelapse.
  LiveViewSwitch,
  Stop
};

struct Step {
  StepKind kind = StepKind::List;
  std::string command;  // the word as given: "capture"

  // get, set
  std::string setting;
  std::string value;  // empty when an index was given
  std::optional<int> index;
  // capture, timelapse, watch: frames or shots; stack: shots
  int count = 1;
  double intervalSeconds = 0;     // capture (pause between frames), timelapse (schedule)
  std::optional<double> seconds;  // liveview (default 3), watch (no limit without it)
  bool toStdout = false;          // liveview: the frames as an MJPEG stream on stdout
  bool reconnect = false;         // watch: wait for an unplugged camera to come back
  // focus, stack
  int focusDirection = 0;  // -3 .. 3, never 0: the sign is the way, the size the step
  int times = 1;           // focus
  // af, and the page's live view
  bool on = false;
  // serve: where to listen, ADDRESS:PORT
  std::string listenHost = "127.0.0.1";
  unsigned short listenPort = 5513;
  // name: the camera (as --device takes one) and the name it is given, or forgotten
  std::string camera;
  std::string cameraName;
  bool forget = false;
  // send
  std::string requestName;
  std::vector<std::string> requestParameters;
};

struct LbhostOptions {
  std::string exePath;     // empty: lensbridge.exe beside lbhost.exe
  bool simulator = false;  // simulator\lensbridge.exe beside lbhost.exe, with the simulated camera
  std::string device;      // empty: the first camera; else ids or names, comma-separated, or "all"
  std::string namesFile;   // the camera names' file; empty: CCameraNames::defaultPath()
  unsigned timeoutMs = 10000;
  bool json = false;
  std::string outFolder;
  std::string fileNamePattern;
  std::string hook;
  double hookTimeoutSeconds = 60;
  bool hookStops = false;            // a failing hook ends the run
  std::optional<long long> counter;  // the first {n}; else after the highest in the folder
};

struct LbhostCommandLine {
  LbhostOptions options;
  std::vector<Step> steps;
};

struct ParsedCommandLine {
  enum class Outcome { Run, Help, Version, UsageError } outcome = Outcome::UsageError;
  LbhostCommandLine commandLine;
  bool json = false;       // --json was among the words, even when they did not parse
  std::string text;        // help text, or the usage error's message
  std::string suggestion;  // for a usage error: the word probably meant, or empty
};

// Parses the words after the program name (UTF-8).
ParsedCommandLine ParseLbhostCommandLine(const std::vector<std::string>& words);
// One step the page of lbhost serve asks for: its word and the words after it, as on the
// command line, but without the run's options. A usage failure when they do not parse.
Result<Step> ParsePageStep(const std::string& step, const std::vector<std::string>& words);

// The step sizes "fine", "medium" and "coarse" as 1, 2, 3; 0 for anything else.
int FocusStepSize(const std::string& word);
// "fine", "medium" or "coarse" of a focus direction's size.
const char* FocusStepName(int direction);
// "near" or "far" of a focus direction's sign.
const char* FocusWayName(int direction);
