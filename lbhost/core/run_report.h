// What an lbhost run tells its caller: lines for people on stdout, progress of long waits on
// stderr, or, under --json, one JSON object on stdout at the end:
//   {"format_version": 1, "ok": true, "exit_code": 0, "camera": {...}, "steps": [...],
//    "error": {"kind": "usage" | "camera" | "process" | "files" | ..., "message": "..."}}
// JSON keys are the words of the text output. Text from the camera that is not UTF-8 is
// repaired (U+FFFD) so the JSON is always valid.
// Portable. One thread.
#pragma once

#include <deque>
#include <string>

#include <nlohmann/json.hpp>

// What ended a run, as "error.kind" names it: the command line (exit code 2), the camera, the
// lensbridge process, the files, a hook, the web server of serve, or the user's Ctrl+C (the
// order of ErrorKindName's words).
enum class ErrorKind { Usage, Camera, Process, Files, Hook, Serve, Interrupted };
const char* ErrorKindName(ErrorKind kind);

class CRunReport {
 public:
  static constexpr int kFormatVersion = 1;

  explicit CRunReport(bool json) : m_json(json) {}

  bool json() const { return m_json; }
  // Stdout carries data (live-view frames): the lines for people go to stderr instead.
  void reserveStdoutForData() { m_stdoutData = true; }
  // True when nothing but the result may be written to stdout (--json or data).
  bool stdoutIsData() const { return m_json || m_stdoutData; }
  // A line for people (text mode only).
  void line(const std::string& text);
  // A progress line on stderr, in both modes: stdout stays for the result.
  void progress(const std::string& text);

  // A new entry of "steps"; the reference stays valid for the whole run.
  nlohmann::json& beginStep(const std::string& command);
  // Lets go of the steps' entries, for a run that never ends (serve), whose steps are told
  // as they run and need not be kept; no reference beginStep() gave may be used after it.
  void forgetSteps() { m_steps.clear(); }
  // The top-level object, for "camera" and such.
  nlohmann::json& top() { return m_top; }

  // Records the run's failure; in text mode it is printed at once, so the user learns of
  // it before the process has been shut down.
  void fail(int exitCode, ErrorKind kind, const std::string& error,
            const std::string& suggestion = std::string());
  // Prints the JSON object (under --json) and returns the exit code: 0 unless fail() was
  // called.
  int finish();
  // fail() when `error` is not empty, then finish().
  int finish(int exitCode, ErrorKind kind, const std::string& error,
             const std::string& suggestion = std::string());

 private:
  bool m_json;
  bool m_stdoutData = false;
  int m_exitCode = 0;
  nlohmann::json m_error;  // null while the run goes well
  nlohmann::json m_top = nlohmann::json::object();
  std::deque<nlohmann::json> m_steps;  // a deque, so beginStep's references stay valid
};
