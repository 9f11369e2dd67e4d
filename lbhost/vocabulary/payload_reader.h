// Reading what a message from lensbridge.exe carries: its payload as a table, and a text or a
// number under a key, each only when the value is of that kind, so a reply of an unexpected
// shape reads as absent instead of as a made-up value.
// Portable.
#pragma once

#include <optional>
#include <string>

#include "values/lua_value.h"

inline const ZnLuaTETable* AsTable(const ZnLuaTE* value) {
  return value && value->type == kZnLuaTable ? static_cast<const ZnLuaTETable*>(value) : nullptr;
}

// The text under `key`, empty when there is none.
inline std::string TextAt(const ZnLuaTE* table, const char* key) {
  const ZnLuaTETable* t = AsTable(table);
  const ZnLuaTE* value = t ? t->getValue(key) : nullptr;
  return value && value->type == kZnLuaString ? value->getString() : std::string();
}

inline std::optional<double> NumberAt(const ZnLuaTE* table, const char* key) {
  const ZnLuaTETable* t = AsTable(table);
  const ZnLuaTE* value = t ? t->getValue(key) : nullptr;
  if (!value || value->type != kZnLuaNumber) return std::nullopt;
  return value->getNumber();
}
