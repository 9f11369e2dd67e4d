#include "lbhost/vocabulary/value_json.h"

#include <cmath>

#include "values/lua_value.h"
#include "lbhost/vocabulary/valid_utf8.h"
#include "lbhost/vocabulary/settings_walk.h"
#include "lbhost/vocabulary/value_printer.h"

namespace {

// True when the table's keys are the numbers first, first + 1, ... in its (sorted) order.
bool IsList(const ZnLuaTETable& table, double first) {
  double expected = first;
  for (const auto& entry : table) {
    if (entry.first->type != kZnLuaNumber || entry.first->getNumber() != expected) return false;
    expected += 1;
  }
  return true;
}

}  // namespace

nlohmann::json ValueToJson(const ZnLuaTE* value) {
  if (!value) return nullptr;
  switch (value->type) {
    case kZnLuaNumber: {
      // Whole numbers print without a fraction. The range is checked before the conversion,
      // which is undefined outside it; JSON has no NaN or infinity, so those are null.
      const double number = value->getNumber();
      if (!std::isfinite(number)) return nullptr;
      if (number > -9e15 && number < 9e15 && number == std::trunc(number))
        return static_cast<long long>(number);
      return number;
    }
    case kZnLuaString:
      return value->getString();
    case kZnLuaData:
      return nlohmann::json{{"data_bytes", static_cast<const ZnLuaTEData*>(value)->size()}};
    case kZnLuaTable: {
      const auto& table = *static_cast<const ZnLuaTETable*>(value);
      if (table.count() > 0 && (IsList(table, 0) || IsList(table, 1))) {
        nlohmann::json list = nlohmann::json::array();
        for (const auto& entry : table) list.push_back(ValueToJson(entry.second));
        return list;
      }
      nlohmann::json object = nlohmann::json::object();
      for (const auto& entry : table) {
        const std::string key =
            entry.first->type == kZnLuaString ? entry.first->getString() : FormatValue(entry.first);
        object[key] = ValueToJson(entry.second);
      }
      return object;
    }
    default:
      return nullptr;
  }
}

nlohmann::json SettingsToJson(const ZnLuaTE* value) {
  nlohmann::json json = nlohmann::json::object();
  ForEachSetting(value, [&json](const SettingVisit& s) {
    if (!s.changeable) {
      json[s.name] = ValueToJson(s.value);
      return;
    }
    nlohmann::json choices = nlohmann::json::array();
    if (s.entries) {
      for (const auto& entry : *s.entries) choices.push_back(ValidUtf8(entry.second->getString()));
    }
    json[s.name] = {{"value", ValueToJson(s.value)}, {"choices", choices}};
  });
  return json;
}
