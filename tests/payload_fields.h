// A message payload's number or text by key, for the tests and the fuzzers alike (no test
// framework needed).
#pragma once

#include <string>

#include "values/lua_value.h"

// The number (or -12345) and the text (or "<absent>") under `key` of a payload.
inline double Number(const ZnLuaTE* payload, const char* key) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(payload);
  const ZnLuaTENumber* value = table ? table->getNumberValue(key) : nullptr;
  return value ? value->value() : -12345.0;
}
inline std::string Text(const ZnLuaTE* payload, const char* key) {
  const auto* table = dynamic_cast<const ZnLuaTETable*>(payload);
  const ZnLuaTEString* value = table ? table->getStringValue(key) : nullptr;
  return value ? value->value() : "<absent>";
}
