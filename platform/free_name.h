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

// The suffix of a file still being written under a name of its own ("<name>.part"): a
// download, or a copy across volumes.
extern const char kPartialFileSuffix[];  // ".part"

// True when `path` names a file, whether finished or still being written.
bool FileNameIsTaken(const std::string& path);

// Splits a file name at the dot of its extension ("a.b.jpg" -> "a.b", ".jpg"); the extension
// is empty when the last element has no dot.
void SplitExtension(const std::string& fileName, std::string& stem, std::string& extension);

// `folder` + `fileName` when that name is not taken, else the name with a number (from
// `first` on, as FirstFreeStem) before its extension; the extension is always kept. `folder`
// is used as given (empty, or ending with a separator). Empty when nothing is free.
std::string FreeFilePath(const std::string& folder, const std::string& fileName, int first);

}  // namespace platform
