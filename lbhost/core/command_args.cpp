#include "lbhost/core/command_args.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "values/lua_value.h"

namespace {

// A number only when strtod takes the whole text and the result is finite, so that names
// such as "inf" or "1e999" stay strings.
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(parsed)) {
    return false;
  }
  *value = parsed;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::string* bytes) {
  bytes->clear();
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (high >= 0) return false;  // a blank must not split a byte
      continue;
    }
    int digit = HexDigit(c);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      bytes->push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return high < 0;
}

std::unique_ptr<ZnLuaTETable> BuildParameterTable(const std::vector<std::string>& words,
                                                  std::string* error) {
  auto table = std::make_unique<ZnLuaTETable>();
  for (const std::string& word : words) {
    std::size_t equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      if (error) *error = "expected key=value, got \"" + word + "\"";
      return nullptr;
    }
    std::string key = word.substr(0, equals);
    std::string text = word.substr(equals + 1);
    char kind = 0;
    if (key.size() > 2 && key[key.size() - 2] == ':') {
      kind = key.back();
      key.resize(key.size() - 2);
    }
    std::unique_ptr<ZnLuaTE> value;
    double number = 0;
    if (kind == 's') {
      value = std::make_unique<ZnLuaTEString>(text);
    } else if (kind == 'n') {
      if (!ParseNumber(text, &number)) {
        if (error) *error = "\"" + text + "\" is not a number (in \"" + word + "\")";
        return nullptr;
      }
      value = std::make_unique<ZnLuaTENumber>(number);
    } else if (kind == 'x') {
      std::string bytes;
      if (!ParseHexBytes(text, &bytes)) {
        if (error) *error = "\"" + text + "\" is not hex data (in \"" + word + "\")";
        return nullptr;
      }
      value = std::make_unique<ZnLuaTEData>(bytes.data(), static_cast<int>(bytes.size()));
    } else if (kind == 0) {
      if (ParseNumber(text, &number)) {
        value = std::make_unique<ZnLuaTENumber>(number);
      } else {
        value = std::make_unique<ZnLuaTEString>(text);
      }
    } else {
      if (error) *error = std::string("unknown value kind ':") + kind + "' in \"" + word + "\"";
      return nullptr;
    }
    table->set(key, std::move(value));
  }
  return table;
}
