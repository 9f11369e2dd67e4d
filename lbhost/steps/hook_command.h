// The --hook command, run as gphoto2 runs its hook script: with ACTION ("init", "start",
// "download" or "stop") and ARGUMENT (the downloaded file's path for "download", else empty) in
// its environment, so that gphoto2 hook scripts work unchanged. A download's path is also
// appended as one quoted argument. The command interpreter (cmd.exe) runs it, so scripts,
// built-in commands and programs on PATH all work.
//
// The hook and everything it starts run in a job object of their own: a hook past its time is
// ended with its whole process tree, and none of it outlives lbhost.
#pragma once

#include <string>

// Runs the hook for `action` and waits up to timeoutMs for it to end. Its standard output goes
// to our standard error when `keepStdoutClean` (so --json output or a frame stream stays
// clean). True when it ended with exit code 0; else false with *error saying what happened.
bool RunHookCommand(const std::string& command, const std::string& action,
                    const std::string& argument, unsigned timeoutMs, bool keepStdoutClean,
                    std::string* error);
