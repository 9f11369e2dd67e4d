#include "values/shutter_speed.h"

#include <cctype>
#include <cstdlib>

std::optional<double> ShutterSpeedSeconds(const std::string& text, bool* openEnded) {
  std::string lower;
  for (char c : text)
    lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  *openEnded = lower.find("bulb") != std::string::npos || lower == "time" || lower == "--";
  if (*openEnded) return std::nullopt;
  // A day is longer than any timed exposure a camera offers; past it the text is not one.
  constexpr double kLongest = 86400;
  char* end = nullptr;
  const double whole = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(whole > 0) || whole > kLongest) return std::nullopt;
  if (*end == '/') {
    const char* start = end + 1;
    const double divisor = std::strtod(start, &end);
    if (end == start || *end != '\0' || !(divisor >= 1)) return std::nullopt;
    return whole / divisor;
  }
  if (*end != '"') return std::nullopt;
  // Seconds: "30\"", "2.5\"", or Nikon's "1\"3" for 1.3.
  const char* tenths = end + 1;
  if (*tenths == '\0') return whole;
  if (std::isdigit(static_cast<unsigned char>(tenths[0])) && tenths[1] == '\0')
    return whole + (tenths[0] - '0') / 10.0;
  return std::nullopt;
}
