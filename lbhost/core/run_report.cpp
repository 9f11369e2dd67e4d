#include "lbhost/core/run_report.h"

#include <cstdio>

#include "lbhost/vocabulary/valid_utf8.h"

void CRunReport::line(const std::string& text) {
  if (m_json) return;
  FILE* out = m_stdoutData ? stderr : stdout;
  std::fputs(text.c_str(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

void CRunReport::progress(const std::string& text) {
  std::fprintf(stderr, "lbhost: %s\n", text.c_str());
  std::fflush(stderr);
}

nlohmann::json& CRunReport::beginStep(const std::string& command) {
  m_steps.push_back(nlohmann::json{{"command", command}});
  return m_steps.back();
}

const char* ErrorKindName(ErrorKind kind) {
  // In the order of ErrorKind.
  static const char* const kNames[] = {"usage", "camera", "process",    "files",
                                       "hook",  "serve",  "interrupted"};
  return kNames[static_cast<int>(kind)];
}

void CRunReport::fail(int exitCode, ErrorKind kind, const std::string& error,
                      const std::string& suggestion) {
  m_exitCode = exitCode;
  m_error = {{"kind", ErrorKindName(kind)}, {"message", error}};
  if (!suggestion.empty()) m_error["did_you_mean"] = suggestion;
  if (!m_json) {
    std::string message = "lbhost: " + error;
    if (!suggestion.empty()) message += " (did you mean " + suggestion + "?)";
    std::fprintf(stderr, "%s\n", ValidUtf8(message).c_str());
    std::fflush(stderr);
  }
}

int CRunReport::finish() {
  const bool ok = m_error.is_null();
  if (m_json) {
    nlohmann::json result = m_top;
    result["format_version"] = kFormatVersion;
    result["ok"] = ok;
    result["exit_code"] = m_exitCode;
    result["steps"] = nlohmann::json::array();
    for (const auto& step : m_steps) result["steps"].push_back(step);
    if (!ok) result["error"] = m_error;
    // Strings were put in as the camera and the system gave them; the replacing dump keeps
    // the output valid whatever bytes they hold.
    const std::string text = result.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
  std::fflush(stderr);
  return m_exitCode;
}

int CRunReport::finish(int exitCode, ErrorKind kind, const std::string& error,
                       const std::string& suggestion) {
  if (!error.empty()) fail(exitCode, kind, error, suggestion);
  return finish();
}
