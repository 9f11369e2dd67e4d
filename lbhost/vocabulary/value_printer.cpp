// Lua-table-like text of message values.
#include "lbhost/vocabulary/value_printer.h"

#include <cmath>
#include <cstdio>
#include <map>

#include "values/lua_value.h"

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  static const std::map<unsigned char, const char*> kEscapes = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
  for (unsigned char c : text) {
    char escape[8] = {static_cast<char>(c), '\0'};
    if (c < 0x20 || c == 0x7F) std::snprintf(escape, sizeof escape, "\\%03u", c);
    const auto named = kEscapes.find(c);
    out += named == kEscapes.end() ? escape : named->second;
  }
  return out + "\"";
}

std::string Number(double value) {
  char text[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    std::snprintf(text, sizeof text, "%.17g", value);
  }
  return text;
}

bool IsIdentifier(const std::string& text) {
  if (text.empty() || (text[0] >= '0' && text[0] <= '9')) return false;
  for (unsigned char c : text) {
    if (!(c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
      return false;
  }
  return true;
}

void Append(std::string& out, const ZnLuaTE* value, const ValueFormat& format, int level) {
  if (!value) {
    out += "<no value>";
    return;
  }
  switch (value->type) {
    case kZnLuaNil:
      out += "nil";
      return;
    case kZnLuaNumber:
      out += Number(value->getNumber());
      return;
    case kZnLuaString:
      out += Quote(value->getString());
      return;
    case kZnLuaData:
      out += "<data " + std::to_string(static_cast<const ZnLuaTEData*>(value)->size()) + " bytes>";
      return;
    default:
      break;
  }
  const auto* table = static_cast<const ZnLuaTETable*>(value);
  if (table->count() == 0) {
    out += "{}";
    return;
  }
  const std::string pad(format.indent * (level + 1), ' ');
  out += format.indent ? "{\n" : "{";
  bool first = true;
  for (const auto& entry : *table) {
    if (!first) out += format.indent ? ",\n" : ", ";
    first = false;
    out += pad;
    const ZnLuaTE* key = entry.first;
    if (key->type == kZnLuaString && IsIdentifier(key->getString())) {
      out += key->getString();
    } else {
      out += "[";
      Append(out, key, format, level + 1);
      out += "]";
    }
    out += " = ";
    Append(out, entry.second, format, level + 1);
  }
  out += format.indent ? "\n" + std::string(format.indent * level, ' ') + "}" : "}";
}

}  // namespace

std::string FormatValue(const ZnLuaTE* value, const ValueFormat& format) {
  std::string out;
  Append(out, value, format, 0);
  return out;
}

std::string FormatHostMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* payload,
                              const ValueFormat& format) {
  std::string out = "#" + std::to_string(requestId) + " ";
  out += name && name->type == kZnLuaString ? name->getString() : FormatValue(name, format);
  if (payload && payload->type != kZnLuaNil) out += " " + FormatValue(payload, format);
  return out;
}
