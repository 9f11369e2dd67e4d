// Where downloads go and how a file there gets a name that does not overwrite anything.
//
// Threads: g_downloadDirectory is set once when the module manager is built (main thread,
// before the I/O thread exists) and read afterwards with the SDK lock held.
#pragma once

#include <string>

// The download folder, UTF-8, ending with a path separator: the user's temporary folder.
extern std::string g_downloadDirectory;

// A path in `directory` for `fileName` that did not exist when it was checked: the name
// itself, else the name with "-0" ... "-9" before its extension, else a new empty file made by
// the system's temporary-file service. `directory` must end with a separator; nothing is put
// between the two. Empty when even the temporary-file service fails (a folder that is gone or
// full), so the caller can treat the download as failed instead of writing to a made-up path.
std::string MakeUniqueFilePath(const std::string& directory, std::string fileName);
