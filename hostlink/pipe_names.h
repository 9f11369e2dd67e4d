// The two named pipes between the host and lensbridge.exe, named once for both sides: the
// process creates them, and lbhost, the tests and the benchmarks connect to them.
#pragma once

inline constexpr wchar_t kInputPipeName[] =
    L"\\\\.\\pipe\\lensbridge-plugin-input";  // the host writes requests here
inline constexpr wchar_t kOutputPipeName[] =
    L"\\\\.\\pipe\\lensbridge-plugin-output";  // the host reads replies and notifications here
