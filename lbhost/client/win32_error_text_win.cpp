#include "lbhost/client/win32_error_text.h"

#include <windows.h>

#include <cctype>

#include "platform/platform.h"
#include "platform/scoped_handles_win.h"

std::string Win32ErrorText(unsigned long code) {
  // The system allocates the text; the scoped block frees it.
  CScopedLocalMemory buffer;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<wchar_t*>(buffer.receive()), 0, nullptr);
  std::string text;
  if (length && buffer.get()) {
    text =
        platform::utf16ToUtf8(std::u16string(static_cast<const char16_t*>(buffer.get()), length));
  }
  // Inserts are not filled in; "%1" stands for the file the failed call was given.
  for (std::size_t at; (at = text.find("%1")) != std::string::npos;)
    text.replace(at, 2, "the file");
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text + " (error " + std::to_string(code) + ")";
  }
  return "error " + std::to_string(code);
}
