// Readable text of message values, in the style of a Lua table constructor:
//   {device_id = 257, name = "D850", ["file name"] = "a b", [1] = 2}
// Strings are quoted with Lua escapes, raw data shows only its size ("<data 1234 bytes>"),
// and numbers that hold an integer print without a fraction. Portable; used by lbhost.exe and
// by test failure messages.
#pragma once

#include <cstdint>
#include <string>

class ZnLuaTE;

struct ValueFormat {
  // Spaces per nesting level; 0 writes the whole value on one line.
  int indent = 0;
};

std::string FormatValue(const ZnLuaTE* value, const ValueFormat& format = {});

// "#7 ok {status = \"liveViewOn\"}": request id, name text (or the formatted name value when
// it is not a string), payload.
std::string FormatHostMessage(std::uint32_t requestId, const ZnLuaTE* name, const ZnLuaTE* payload,
                              const ValueFormat& format = {});
