// Diagnostics.
//
// Trace texts are formatted, bounded, by FormatTrace into a 2048-byte buffer and handed to the
// trace sink: by default the system's debug output (a debugger or a debug-output viewer shows
// them on Windows), or a sink a test installs. No behaviour depends on them.
//
// LogLine prints the few transport failures to standard output: no prefix, no time stamp and
// no newline of its own.
#pragma once

#include <cstddef>

// The formats follow C99 (%zu, %lld) on every platform; mingw's C++ runtime formats them so.
#if defined(__MINGW32__)
#define LB_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define LB_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define LB_PRINTF_FORMAT(f, a)
#endif

constexpr std::size_t kTraceBufferSize = 2048;

// printf-style formatting into buffer; at most kTraceBufferSize - 1 characters, longer text is
// cut. Returns the length written.
int FormatTrace(char (&buffer)[kTraceBufferSize], const char* format, ...) LB_PRINTF_FORMAT(2, 3);

// Formats a trace text and hands it to the sink. Callable from any thread.
void Trace(const char* format, ...) LB_PRINTF_FORMAT(1, 2);

void LogLine(const char* format, ...) LB_PRINTF_FORMAT(1, 2);

// Replaces the trace sink; null restores the default. Meant for tests; the sink must be
// callable from any thread.
using TraceSink = void (*)(const char* text);
void SetTraceSink(TraceSink sink);
