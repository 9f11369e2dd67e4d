// Message values as JSON for lbhost's --json output: nil is null, data is
// {"data_bytes": N}, a table whose keys are exactly the numbers 0..n-1 or 1..n is an array,
// any other table an object keyed by the key text. Portable.
#pragma once

#include <nlohmann/json.hpp>

class ZnLuaTE;

nlohmann::json ValueToJson(const ZnLuaTE* value);
