// The few operating-system services the portable core needs. One implementation per platform:
// platform_win.cpp (Win32) and platform_posix.cpp (Linux, for the native unit tests).
//
// Paths and texts are UTF-8 std::strings everywhere in the core; the Win32 implementation
// converts to UTF-16 at the system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// Sleeps at least ms milliseconds on a steady clock; sleepMs(0) gives up the time slice.
void sleepMs(unsigned ms);

// Milliseconds since an arbitrary start, 32 bits wide: it wraps after about 49.7 days,
// exactly like GetTickCount.
std::uint32_t tickCountMs();

// Loads a library; null on failure. Libraries are never unloaded.
void* loadModule(const std::string& path);
void* findSymbol(void* module, const char* name);

// Full path of the running executable, and its folder with a trailing separator.
std::string executablePath();
std::string executableDirectory();

// The separator that joins a folder and a file name.
char pathSeparator();

// UTF-8 <-> UTF-16. Invalid input never throws; it yields what the system conversion yields.
std::u16string utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const std::u16string& text);
#ifdef _WIN32
// The same, as the wide strings the Win32 API takes.
std::wstring utf8ToWide(const std::string& text);
std::string wideToUtf8(const std::wstring& text);
#endif

// True when the path names an existing file or folder (or, on Windows, a pattern that
// matches something). Any failure counts as absence.
bool fileExists(const std::string& path);

// True when the path names an existing folder (a trailing separator is allowed).
bool isDirectory(const std::string& path);

// The user's temporary folder, absolute, with a trailing separator. A folder too long for
// the ordinary path functions comes in the "\\?\" form, so that file names under it still
// work. Empty when the system cannot tell.
std::string temporaryDirectory();

// Where to keep temporary files when temporaryDirectory() has none to offer: the "Temp"
// folder in the user's local application data (Windows), with a trailing separator; empty
// when there is none.
std::string fallbackTemporaryDirectory();

// Opens a file for binary writing, truncating it (fopen "wb"); null on failure.
std::FILE* openForWriting(const std::string& path);

// The names of the files (not folders) directly in `folder` (which ends with a separator);
// empty when it cannot be read.
std::vector<std::string> filesInFolder(const std::string& folder);

// Deletes a file; false when it could not be deleted. Both this and renameFileNoReplace fail
// while another program holds the file open without sharing delete (on POSIX, while another
// open file holds a lock on it, which is how the native tests play such a program).
bool removeFile(const std::string& path);

// Gives the file at `from` the name `to` in the same folder, never replacing a file that
// already has that name; false when it could not (the name is taken, or the system refused).
bool renameFileNoReplace(const std::string& from, const std::string& to);

// Hands one diagnostic line to the system's debug output (OutputDebugStringA on Windows, where
// a debugger or a debug-output viewer shows it; nothing natively).
void debugOutput(const char* text);

// The value of an environment variable, empty when unset.
std::string environmentVariable(const char* name);

}  // namespace platform
