#include "lbhost/vocabulary/setting_match.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

std::string Folded(const std::string& text) {
  std::string folded;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return folded;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The decimal number a text holds in full, or nothing.
std::optional<double> Number(const std::string& text) {
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// The number an entry stands for, with the camera's decorations taken off: "f/8" -> 8,
// "ISO 3200" -> 3200, "4\"" (seconds) -> 4. Fractions ("1/250") are matched by their text.
std::optional<double> EntryNumber(const std::string& entry) {
  std::string text = Folded(entry);
  if (StartsWith(text, "f/")) text.erase(0, 2);
  if (StartsWith(text, "iso")) text.erase(0, 3);
  if (!text.empty() && (text.back() == '"' || text.back() == 's')) text.pop_back();
  return Number(text);
}

}  // namespace

const std::vector<SettingName>& ChangeableSettings() {
  static const std::vector<SettingName> kSettings = {
      {"aperture", "aperture", "apertureEntries", "apertureValue"},
      {"shutter", "shutter", "shutterEntries", "shutterValue"},
      {"iso", "isoSpeed", "isoEntries", "isoSpeedValue"},
      {"wb", "whiteBalance", "wbEntries", "wbValue"},
  };
  return kSettings;
}

const SettingName* FindSetting(const std::string& name) {
  for (const SettingName& setting : ChangeableSettings()) {
    if (name == setting.name) return &setting;
  }
  return nullptr;
}

std::optional<std::size_t> MatchSettingEntry(const std::vector<std::string>& entries,
                                             const std::string& wanted) {
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i] == wanted) return i;
  }
  const std::string folded = Folded(wanted);
  if (folded.empty()) return std::nullopt;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (Folded(entries[i]) == folded) return i;
  }
  const std::optional<double> number = Number(folded);
  if (!number) return std::nullopt;
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::optional<double> entry = EntryNumber(entries[i]);
    if (!entry || std::fabs(*entry - *number) > 1e-9 * std::max(1.0, std::fabs(*number))) {
      continue;
    }
    if (found) return std::nullopt;  // two entries with the same number: say which
    found = i;
  }
  return found;
}
