#include "platform/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace {

std::atomic<TraceSink> g_traceSink{nullptr};

int FormatTraceV(char (&buffer)[kTraceBufferSize], const char* format, va_list args) {
  int length = std::vsnprintf(buffer, kTraceBufferSize, format, args);
  if (length < 0) {
    buffer[0] = '\0';
    return 0;
  }
  return length < static_cast<int>(kTraceBufferSize) ? length
                                                     : static_cast<int>(kTraceBufferSize) - 1;
}

}  // namespace

int FormatTrace(char (&buffer)[kTraceBufferSize], const char* format, ...) {
  va_list args;
  va_start(args, format);
  int length = FormatTraceV(buffer, format, args);
  va_end(args);
  return length;
}

void Trace(const char* format, ...) {
  char buffer[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  FormatTraceV(buffer, format, args);
  va_end(args);
  TraceSink sink = g_traceSink.load();
  if (sink) {
    sink(buffer);
  } else {
    platform::debugOutput(buffer);
  }
}

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

void SetTraceSink(TraceSink sink) { g_traceSink.store(sink); }
