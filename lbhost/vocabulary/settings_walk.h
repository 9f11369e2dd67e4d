// One walk of a camera's settings table in the order lbhost shows it, for its text and its
// JSON alike: the settings it can change (aperture, shutter, iso, wb), then the focus mode and
// auto-focus, then every other key the camera reported, so nothing is hidden.
// Portable.
#pragma once

#include <functional>
#include <string>

class ZnLuaTE;
class ZnLuaTETable;

struct SettingVisit {
  std::string name;                       // lbhost's word, or the camera's own key
  const ZnLuaTE* value = nullptr;         // never null
  bool changeable = false;                // one of the settings lbhost can change
  const ZnLuaTETable* entries = nullptr;  // its choices; null when the exposure mode fixes it
};

void ForEachSetting(const ZnLuaTE* settings, const std::function<void(const SettingVisit&)>& visit);
