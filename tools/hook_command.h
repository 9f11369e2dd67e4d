// The --hook command, run once for each downloaded file: the command line as given, with the
// file's path appended as one quoted argument, run by the command interpreter (cmd.exe), so
// that scripts, built-in commands and programs on PATH all work.
#pragma once

#include <string>

// Runs `command` "`filePath`" and waits up to timeoutMs for it to end. Its standard output goes
// to our standard error when `keepStdoutClean` (so --json output stays one object). True when
// it ended with exit code 0; else false with *error saying what happened.
bool RunHookCommand(const std::string& command, const std::string& filePath, unsigned timeoutMs,
                    bool keepStdoutClean, std::string* error);
