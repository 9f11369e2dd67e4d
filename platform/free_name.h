// How a new file gets a name that overwrites nothing: the name asked for, else the name with a
// number added, else with a made-up suffix. Callers say what "free" means (the file and its
// partial twin both absent, say, for every extension of a shot).
#pragma once

#include <functional>
#include <string>

namespace platform {

// The first of `stem`, `stem-<first>`, `stem-<first + 1>`, ... (ten thousand numbers), then
// `stem-XXXXXXXX` with a made-up hexadecimal suffix, that `isFree` accepts; empty when none is.
// The bounds keep a folder full of clashes from holding the caller for long; the made-up
// suffixes start from the clock, so another process's choice is unlikely to be the same.
std::string FirstFreeStem(const std::string& stem, int first,
                          const std::function<bool(const std::string&)>& isFree);

}  // namespace platform
