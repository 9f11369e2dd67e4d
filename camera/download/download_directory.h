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

// Where a whole file that never took its name `fileName` is kept in `directory`:
// "Capture0001-kept.nef" for "Capture0001.nef", with a number added when that is taken. The
// name says what the file is, and no start removes or overwrites it. Empty when nothing is free.
std::string KeptFilePath(const std::string& directory, const std::string& fileName);

// The marker beside a ".part" file that is whole and waits for its name ("<part>.whole"):
// without it, a ".part" file found at start-up was cut off before it was whole.
std::string WholeMarkerPath(const std::string& partPath);

// What a previous process left in `directory`, settled at start-up: a ".part" file
// ("Capture....part") without its whole-file marker was cut off mid-download (the process was
// ended from outside) and is removed; a marked one is whole and takes its kept name (or stays,
// marked, while another program still holds it); a marker without its file goes; every kept
// file is named in the trace again. Only one process serves the host at a time, so none of
// them can still be written. Returns how many ".part" files were removed.
int SettleLeftoverFiles(const std::string& directory);
