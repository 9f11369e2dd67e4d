// Where downloads go and how a file there gets a name that does not overwrite anything.
//
// A name counts as taken when the file itself or its in-progress twin ("<name>.part", written
// while a download is under way) exists, so a finished download can never be renamed over
// another one's file.
//
// Threads: g_downloadDirectory is set once when the module manager is built (main thread,
// before the I/O thread exists) and read afterwards with the SDK lock held. The functions
// keep no state and may be called from any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

// The download folder, UTF-8, absolute and ending with a path separator; empty when no usable
// folder was found; every download then fails before it touches the disk.
extern std::string g_downloadDirectory;

// The folder downloads go to: the user's temporary folder, else the fallback the platform
// offers; empty (and traced) when neither is an existing absolute folder.
std::string FindDownloadDirectory();

// The first of `candidates` that is an absolute path to an existing folder, with a separator
// added when it has none; empty when none is. Relative paths are refused: a download must
// never land in whatever the process's current folder happens to be.
std::string ChooseDownloadDirectory(const std::vector<std::string>& candidates);

// The first of `stem`, `stem-0`, `stem-1`, ... (then a stem with a made-up hexadecimal
// suffix) whose name with every one of `extensions` is free in `directory`. `isUnusable`
// may refuse further stems (for example those handed out before); may be null. Empty when
// `directory` is not an absolute folder path ending in a separator, or when nothing is free.
std::string MakeUniqueStem(const std::string& directory, const std::string& stem,
                           const std::vector<std::string>& extensions,
                           const std::function<bool(const std::string&)>& isUnusable = nullptr);

// A path in `directory` for `fileName` that was free when it was checked: the name itself,
// else the name with "-0", "-1", ... before its extension, else a made-up suffix; the
// extension is always kept. `directory` must be absolute and end with a separator; nothing
// is put between the two. Empty when the directory is unusable or nothing is free, so the
// caller treats the download as failed instead of writing to a path with no basis.
std::string MakeUniqueFilePath(const std::string& directory, const std::string& fileName);

// Removes the partial files ("Capture....part") a download left in `directory` when its process
// was ended from outside; only one process serves the host at a time, so none of them can still
// be written. Returns how many were removed.
int RemoveLeftoverPartialFiles(const std::string& directory);

