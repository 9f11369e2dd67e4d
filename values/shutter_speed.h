// The exposure a camera's shutter-speed text stands for, read one way by the process (which
// bounds a release by it) and by lbhost (which waits for one): "1/250" is 0.004 s, "30\"" 30 s,
// "2.5\"" 2.5 s and Nikon's "1\"3" 1.3 s.
// Portable.
#pragma once

#include <optional>
#include <string>

// The exposure in seconds, up to a day; nothing for a bulb or time exposure (*openEnded is then
// true) and for a text it cannot read.
std::optional<double> ShutterSpeedSeconds(const std::string& text, bool* openEnded);
