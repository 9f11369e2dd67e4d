// Text made safe to print and to put in JSON. Portable.
#pragma once

#include <string>

// Text whose bytes are valid UTF-8: every byte that does not belong to a well-formed sequence
// becomes U+FFFD. Camera names come from the camera and may hold anything.
std::string ValidUtf8(const std::string& text);
