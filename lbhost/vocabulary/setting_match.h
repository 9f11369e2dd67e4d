// How lbhost names camera settings and finds the entry a photographer means.
//
// A setting is named as the photographer says it ("aperture", "shutter", "iso", "wb"); each
// maps to the keys of the process's settings table and to the key of "updateCameraSetting".
// A value is matched against the texts the camera offers: the exact text first ("1/250",
// "f/8"), then the text without regard to case and blanks ("daylight", "iso 3200"), then a
// number against the number in an entry ("8" is "f/8", "3200" is "3200"). An all-digit value
// is never taken as an index; indexes are given separately.
// Portable.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct SettingName {
  const char* name;        // lbhost's word, also the key of its text and JSON output
  const char* valueKey;    // the settings table's key of the current entry text
  const char* entriesKey;  // the settings table's key of the entries list
  const char* paramKey;    // "param_key" of "updateCameraSetting"
};

// The settings lbhost can change, in the order it shows them.
const std::vector<SettingName>& ChangeableSettings();
// The setting called `name`, or null.
const SettingName* FindSetting(const std::string& name);

// The 0-based index of the entry that `wanted` names, or nothing when no entry (or more than
// one entry by number alone) matches.
std::optional<std::size_t> MatchSettingEntry(const std::vector<std::string>& entries,
                                             const std::string& wanted);
