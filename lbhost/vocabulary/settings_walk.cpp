#include "lbhost/vocabulary/settings_walk.h"

#include <vector>

#include "lbhost/vocabulary/payload_reader.h"
#include "lbhost/vocabulary/setting_match.h"

void ForEachSetting(const ZnLuaTE* settings,
                    const std::function<void(const SettingVisit&)>& visit) {
  const ZnLuaTETable* table = AsTable(settings);
  if (!table) return;
  std::vector<std::string> shownKeys;
  for (const SettingName& s : ChangeableSettings()) {
    shownKeys.push_back(s.valueKey);
    shownKeys.push_back(s.entriesKey);
    if (const ZnLuaTE* value = table->getValue(s.valueKey))
      visit({s.name, value, true, table->getTable(s.entriesKey)});
  }
  static const struct {
    const char* name;
    const char* key;
  } kOthers[] = {{"focus_mode", "focusMode"}, {"af", "AFButtonPressed"}};
  for (const auto& other : kOthers) {
    shownKeys.push_back(other.key);
    if (const ZnLuaTE* value = table->getValue(other.key))
      visit({other.name, value, false, nullptr});
  }
  for (const auto& entry : *table) {
    const std::string key = entry.first->getString();
    bool shown = false;
    for (const auto& k : shownKeys) shown = shown || k == key;
    if (!shown) visit({key, entry.second, false, nullptr});
  }
}
