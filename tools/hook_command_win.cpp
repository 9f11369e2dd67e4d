#include "tools/hook_command.h"

#include <windows.h>

#include "platform/platform.h"
#include "platform/scoped_handles_win.h"
#include "tools/win32_error_text.h"

namespace {

std::wstring Wide(const std::string& text) {
    const std::u16string wide = platform::utf8ToUtf16(text);
    return std::wstring(wide.begin(), wide.end());
}

}  // namespace

bool RunHookCommand(const std::string& command, const std::string& filePath, unsigned timeoutMs,
                    bool keepStdoutClean, std::string* error) {
    std::wstring interpreter(MAX_PATH, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"ComSpec", &interpreter[0], MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        interpreter = L"cmd.exe";
    } else {
        interpreter.resize(length);
    }
    // With /s, cmd.exe takes off the outer quotes and runs the rest as typed, so the command
    // keeps its own quoting. A path holds no quote character, so quoting it is enough.
    std::wstring commandLine =
        L"\"" + interpreter + L"\" /d /s /c \"" + Wide(command) + L" \"" + Wide(filePath) + L"\"\"";

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (keepStdoutClean) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, keepStdoutClean, 0, nullptr,
                        nullptr, &startup, &info)) {
        const DWORD code = GetLastError();
        *error = "could not start the hook \"" + command + "\": " + Win32ErrorText(code);
        return false;
    }
    CScopedKernelHandle process(info.hProcess);
    CloseHandle(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
        *error = "the hook \"" + command + "\" did not end within " + std::to_string(timeoutMs) +
                 " ms for " + filePath + " (stopped)";
        return false;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(process.get(), &exitCode);
    if (exitCode != 0) {
        *error = "the hook \"" + command + "\" ended with exit code " + std::to_string(exitCode) +
                 " for " + filePath;
        return false;
    }
    return true;
}
