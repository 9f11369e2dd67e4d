// Message values as JSON for lbhost's --json output: nil is null, data is
// {"data_bytes": N}, a table whose keys are exactly the numbers 0..n-1 or 1..n is an array,
// any other table an object keyed by the key text. Portable.
#pragma once

#include <nlohmann/json.hpp>

class ZnLuaTE;

nlohmann::json ValueToJson(const ZnLuaTE* value);

// A camera's settings table as lbhost shows it: {"aperture": {"value": "f/8", "choices":
// ["f/1.8", ...]}, ...} for the settings it can change (no choices when the exposure mode fixes
// one), "focus_mode" and "af" by value, and every other key the camera reported as it is.
nlohmann::json SettingsToJson(const ZnLuaTE* table);
