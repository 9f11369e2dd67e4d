// Request parameters written as words, for lbhost's command line and scripts.
//
//   key=VALUE      a number when VALUE is one in full (257, 0x101, -1.5), else a string
//   key:s=VALUE    always a string ("key:s=257" sends the text "257")
//   key:n=VALUE    always a number; an error when VALUE is not one
//   key:x=HEX      raw data from hex digits ("key:x=ffd8ffe0")
// Portable.
#pragma once

#include <memory>
#include <string>
#include <vector>

class ZnLuaTE;
class ZnLuaTETable;

// The table of all `words`, or null with a message in *error when one is malformed. Later
// words replace earlier ones with the same key.
std::unique_ptr<ZnLuaTETable> BuildParameterTable(const std::vector<std::string>& words,
                                                  std::string* error);

// Bytes from hex digits (whitespace between byte pairs allowed); false on odd or bad digits.
bool ParseHexBytes(const std::string& text, std::string* bytes);
