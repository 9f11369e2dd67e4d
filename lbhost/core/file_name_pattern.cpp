#include "lbhost/core/file_name_pattern.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>

namespace {

const char kClockCodes[] = "YymdHMSjaAbBIpkl";
const char kSupportedCodes[] =
    "%n %03n %f %C %: %% %Y %y %m %d %H %M %S %j %a %A %b %B %I %p %k %l";

struct Token {
  enum class Kind { Literal, Separator, Clock, Counter, Camera, Stem, Extension, FullName } kind;
  std::string text;  // Literal: the text; Clock: its codes ("%Y-%m-%d")
  int width = 0;     // Counter: the least number of digits
};

bool ForbiddenInName(char c) {
  return static_cast<unsigned char>(c) < 0x20 ||
         std::string("<>:\"/\\|?*").find(c) != std::string::npos;
}

std::string SafeName(std::string text) {
  for (char& c : text) {
    if (ForbiddenInName(c)) c = '_';
  }
  return text;
}

std::string Padded(long long value, int width, char fill = '0') {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%*lld", width, value);
  std::string text = buffer;
  for (char& c : text) {
    if (c == ' ') c = fill;
  }
  return text;
}

// Day of the week (0 Sunday) and of the year (1 to 366), from the civil date.
int Weekday(int year, int month, int day) {
  static const int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return (year + year / 4 - year / 100 + year / 400 + kOffsets[(month + 11) % 12] + day) % 7;
}

int YearDay(int year, int month, int day) {
  static const int kBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kBefore[(month + 11) % 12] + day + (leap && month > 2 ? 1 : 0);
}

std::string ClockField(char code, const ShotNaming& shot) {
  static const char* kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday", "Friday", "Saturday"};
  static const char* kMonths[] = {"January",   "February", "March",    "April",
                                  "May",       "June",     "July",     "August",
                                  "September", "October",  "November", "December"};
  const int hour12 = shot.hour % 12 == 0 ? 12 : shot.hour % 12;
  const std::string day = kDays[Weekday(shot.year, shot.month, shot.day)];
  const std::string month = kMonths[(shot.month + 11) % 12];
  // 'l' when none of these.
  const std::map<char, std::string> kFields = {
      {'Y', Padded(shot.year, 4)},     {'y', Padded(shot.year % 100, 2)},
      {'m', Padded(shot.month, 2)},    {'d', Padded(shot.day, 2)},
      {'H', Padded(shot.hour, 2)},     {'M', Padded(shot.minute, 2)},
      {'S', Padded(shot.second, 2)},   {'j', Padded(YearDay(shot.year, shot.month, shot.day), 3)},
      {'a', day.substr(0, 3)},         {'A', day},
      {'b', month.substr(0, 3)},       {'B', month},
      {'I', Padded(hour12, 2)},        {'p', shot.hour < 12 ? "AM" : "PM"},
      {'k', Padded(shot.hour, 2, ' ')}};
  const auto field = kFields.find(code);
  return field == kFields.end() ? Padded(hour12, 2, ' ') : field->second;
}

// A regular expression for what a clock code gives.
std::string ClockRegex(char code) {
  return std::string("aAbBp").find(code) != std::string::npos ? "[A-Za-z]+" : "[ 0-9]+";
}

std::string UnsupportedCode(const std::string& code) {
  if (code == "%F") {
    return "%F (the camera's folder) is not supported: the pattern alone names the folders";
  }
  return code + " is not a code lbhost knows (it takes gphoto2's " + std::string(kSupportedCodes) +
         ")";
}

// Checks the clock codes of a {date:...} or {time:...} format.
std::string CheckClockFormat(const std::string& format) {
  bool anyCode = false;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      if (ForbiddenInName(format[i])) return std::string("'") + format[i] + "' in a format";
      continue;
    }
    if (i + 1 >= format.size()) return "a '%' at the end of a format";
    const char code = format[++i];
    if (code != '%' && std::string(kClockCodes).find(code) == std::string::npos) {
      return UnsupportedCode(std::string("%") + code);
    }
    anyCode = anyCode || code != '%';
  }
  return anyCode ? std::string() : "a format needs a clock code such as %Y";
}

// gphoto2's codes and lbhost's placeholders that stand for one token as they are.
const std::map<std::string, Token>& PlainCodes() {
  using Kind = Token::Kind;
  static const std::map<std::string, Token> kCodes = {{"%f", {Kind::Stem, "", 0}},
                                                      {"%C", {Kind::Extension, "", 0}},
                                                      {"%:", {Kind::FullName, "", 0}},
                                                      {"{n}", {Kind::Counter, "", 4}},
                                                      {"{camera}", {Kind::Camera, "", 0}},
                                                      {"{name}", {Kind::Stem, "", 0}},
                                                      {"{date}", {Kind::Clock, "%Y-%m-%d", 0}},
                                                      {"{time}", {Kind::Clock, "%H%M%S", 0}}};
  return kCodes;
}

// The pattern as tokens; false (with *error) on a malformed or unknown placeholder or code.
bool Tokenize(const std::string& pattern, std::vector<Token>* tokens, std::string* error) {
  auto literal = [&](char c) {
    if (tokens->empty() || tokens->back().kind != Token::Kind::Literal) {
      tokens->push_back({Token::Kind::Literal, "", 0});
    }
    tokens->back().text.push_back(c);
  };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '/' || c == '\\') {
      tokens->push_back({Token::Kind::Separator, "", 0});
    } else if (c == '%') {
      std::size_t j = i + 1;
      while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') ++j;
      if (j >= pattern.size()) {
        *error = "a '%' without its code (gphoto2's codes: " + std::string(kSupportedCodes) + ")";
        return false;
      }
      const std::string digits = pattern.substr(i + 1, j - i - 1);
      const char code = pattern[j];
      if (!digits.empty() && code != 'n') {
        *error = "only %n takes a width (%03n), not " + pattern.substr(i, j - i + 1);
        return false;
      }
      if (code == 'n') {
        const int width = digits.empty() ? 1 : std::atoi(digits.c_str());
        if (width < 1 || width > 9) {
          *error = "the width of " + pattern.substr(i, j - i + 1) + " must be from 1 to 9";
          return false;
        }
        tokens->push_back({Token::Kind::Counter, "", width});
      } else if (code == '%') {
        literal('%');
      } else if (PlainCodes().count(std::string("%") + code)) {
        tokens->push_back(PlainCodes().at(std::string("%") + code));
      } else if (std::string(kClockCodes).find(code) != std::string::npos) {
        tokens->push_back({Token::Kind::Clock, std::string("%") + code, 0});
      } else {
        *error = UnsupportedCode(std::string("%") + code);
        return false;
      }
      i = j;
    } else if (c == '{') {
      const std::size_t close = pattern.find('}', i);
      if (close == std::string::npos) {
        *error = "a '{' without its '}'";
        return false;
      }
      const std::string whole = pattern.substr(i + 1, close - i - 1);
      const std::size_t colon = whole.find(':');
      const std::string name = whole.substr(0, colon);
      const std::string argument =
          colon == std::string::npos ? std::string() : whole.substr(colon + 1);
      if (colon != std::string::npos && name == "n") {
        char* end = nullptr;
        const long parsed = std::strtol(argument.c_str(), &end, 10);
        if (argument.empty() || *end != '\0' || parsed < 1 || parsed > 9) {
          *error = "bad placeholder {" + whole + "} ({n:W} takes a width W from 1 to 9)";
          return false;
        }
        tokens->push_back({Token::Kind::Counter, "", static_cast<int>(parsed)});
      } else if (colon != std::string::npos && (name == "date" || name == "time")) {
        const std::string problem = CheckClockFormat(argument);
        if (!problem.empty()) {
          *error = "bad placeholder {" + whole + "}: " + problem;
          return false;
        }
        tokens->push_back({Token::Kind::Clock, argument, 0});
      } else if (colon != std::string::npos) {
        *error = "bad placeholder {" + whole + "} (only {n:W}, {date:F} and {time:F} take more)";
        return false;
      } else if (PlainCodes().count("{" + name + "}")) {
        tokens->push_back(PlainCodes().at("{" + name + "}"));
      } else {
        *error = "unknown placeholder {" + name +
                 "} (known: {date} {time} {date:%Y%m%d} {n} {n:W} {camera} {name})";
        return false;
      }
      i = close;
    } else {
      literal(c);
    }
  }
  return true;
}

bool AddsExtension(const std::vector<Token>& tokens) {
  for (const Token& t : tokens) {
    if (t.kind == Token::Kind::Extension || t.kind == Token::Kind::FullName) return false;
  }
  return true;
}

void SplitFileName(const std::string& name, std::string* stem, std::string* extension) {
  const std::size_t dot = name.find_last_of('.');
  *stem = dot == std::string::npos ? name : name.substr(0, dot);
  *extension = dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string RegexEscaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

}  // namespace

std::string CheckFileNamePattern(const std::string& pattern) {
  if (pattern.empty()) return "the pattern is empty";
  std::vector<Token> tokens;
  std::string error;
  if (!Tokenize(pattern, &tokens, &error)) return error;
  // Each folder and the name must be something: no empty, "." or ".." part, no drive.
  std::vector<std::string> parts(1);
  std::vector<bool> partHasField(1, false);
  for (const Token& t : tokens) {
    if (t.kind == Token::Kind::Separator) {
      parts.emplace_back();
      partHasField.push_back(false);
    } else if (t.kind == Token::Kind::Literal) {
      for (char c : t.text) {
        if (ForbiddenInName(c)) {
          return std::string("'") + c +
                 "' cannot be part of a file name (the folder goes in --out)";
        }
      }
      parts.back() += t.text;
    } else {
      partHasField.back() = true;
    }
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!partHasField[i] && (parts[i].empty() || parts[i] == "." || parts[i] == "..")) {
      if (parts.size() == 1)
        return parts[i].empty() ? "the pattern gives an empty name"
                                : "the pattern gives no file name";
      return "every folder of the pattern needs a name (no empty, \".\" or \"..\" part)";
    }
  }
  return std::string();
}

std::string ExpandFileNamePattern(const std::string& pattern, const ShotNaming& shot) {
  std::vector<Token> tokens;
  std::string error;
  Tokenize(pattern, &tokens, &error);
  std::string stem, extension;
  SplitFileName(shot.cameraFileName, &stem, &extension);
  std::string name;
  for (const Token& t : tokens) {
    switch (t.kind) {
      case Token::Kind::Literal:
        name += t.text;
        break;
      case Token::Kind::Separator:
        name += '\\';
        break;
      case Token::Kind::Counter:
        name += Padded(shot.counter, t.width);
        break;
      case Token::Kind::Camera:
        name += SafeName(shot.cameraName);
        break;
      case Token::Kind::Stem:
        name += SafeName(stem);
        break;
      case Token::Kind::Extension:
        name += SafeName(extension.empty() ? extension : extension.substr(1));
        break;
      case Token::Kind::FullName:
        name += SafeName(shot.cameraFileName);
        break;
      case Token::Kind::Clock:
        for (std::size_t i = 0; i < t.text.size(); ++i) {
          if (t.text[i] != '%') {
            name += t.text[i];
          } else if (t.text[++i] == '%') {
            name += '%';
          } else {
            name += ClockField(t.text[i], shot);
          }
        }
        break;
    }
  }
  const std::string kept = shot.fileExtension.empty() ? extension : shot.fileExtension;
  return AddsExtension(tokens) ? name + SafeName(kept) : name;
}

bool PatternHasCounter(const std::string& pattern) {
  std::vector<Token> tokens;
  std::string error;
  Tokenize(pattern, &tokens, &error);
  for (const Token& t : tokens) {
    if (t.kind == Token::Kind::Counter) return true;
  }
  return false;
}

int PatternFolderDepth(const std::string& pattern) {
  std::vector<Token> tokens;
  std::string error;
  Tokenize(pattern, &tokens, &error);
  int depth = 0;
  for (const Token& t : tokens) depth += t.kind == Token::Kind::Separator;
  return depth;
}

long long HighestCounter(const std::string& pattern, const std::string& cameraName,
                         const std::vector<std::string>& paths) {
  std::vector<Token> tokens;
  std::string error;
  if (!Tokenize(pattern, &tokens, &error)) return 0;
  // Only the first counter is captured; the camera's files of an earlier session may have any
  // date and file name, so those match anything of their kind.
  std::string expression;
  bool captured = false;
  for (const Token& t : tokens) {
    switch (t.kind) {
      case Token::Kind::Literal:
        expression += RegexEscaped(t.text);
        break;
      case Token::Kind::Separator:
        expression += "[\\\\/]";
        break;
      case Token::Kind::Counter:
        expression += captured ? "[0-9]+" : "([0-9]+)";
        captured = true;
        break;
      case Token::Kind::Clock:
        for (std::size_t i = 0; i < t.text.size(); ++i) {
          if (t.text[i] != '%') {
            expression += RegexEscaped(std::string(1, t.text[i]));
          } else if (t.text[++i] == '%') {
            expression += "%";
          } else {
            expression += ClockRegex(t.text[i]);
          }
        }
        break;
      case Token::Kind::Camera:
        expression += RegexEscaped(SafeName(cameraName));
        break;
      default:
        expression += "[^\\\\/]*";
        break;
    }
  }
  if (!captured) return 0;
  if (AddsExtension(tokens)) expression += "(?:\\.[^.\\\\/]*)?";
  const std::regex matcher(expression);
  long long highest = 0;
  for (const std::string& path : paths) {
    std::smatch match;
    if (!std::regex_match(path, match, matcher)) continue;
    const std::string digits = match[1].str();
    // Numbers beyond what a counter reaches are somebody else's digits.
    if (digits.size() > 12) continue;
    highest = std::max(highest, std::atoll(digits.c_str()));
  }
  return highest;
}
