// Win32 implementation of the platform services.
#include "platform/platform.h"

#include <windows.h>

#include <chrono>
#include <thread>
#include <vector>

namespace platform {
namespace {

std::wstring wide(const std::string& text) {
  std::u16string converted = utf8ToUtf16(text);
  return std::wstring(converted.begin(), converted.end());
}

std::string narrow(const wchar_t* text) {
  std::wstring w(text);
  return utf16ToUtf8(std::u16string(w.begin(), w.end()));
}

}  // namespace

void sleepMs(unsigned ms) {
  if (ms == 0) {
    Sleep(0);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint32_t tickCountMs() { return GetTickCount(); }

std::int64_t systemTicks100ns() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return (static_cast<std::int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void* loadModule(const std::string& path) {
  return reinterpret_cast<void*>(LoadLibraryW(wide(path).c_str()));
}

void* findSymbol(void* module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string executablePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::string();
    if (length < buffer.size()) return narrow(buffer.data());
    buffer.resize(buffer.size() * 2);
  }
}

std::string executableDirectory() {
  std::string path = executablePath();
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash + 1);
}

char pathSeparator() { return '\\'; }

std::u16string utf8ToUtf16(const std::string& text) {
  if (text.empty()) return std::u16string();
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0);
  if (length <= 0) return std::u16string();
  std::wstring out(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  return std::u16string(out.begin(), out.end());
}

std::string utf16ToUtf8(const std::u16string& text) {
  if (text.empty()) return std::string();
  std::wstring in(text.begin(), text.end());
  int length = WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr,
                                   0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), &out[0], length,
                      nullptr, nullptr);
  return out;
}

bool fileExists(const std::string& path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(wide(path).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

std::string temporaryDirectory() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return std::string();
  return narrow(buffer);
}

std::string createTemporaryFile(const std::string& directory, const std::string& prefix) {
  wchar_t buffer[MAX_PATH];
  if (GetTempFileNameW(wide(directory).c_str(), wide(prefix).c_str(), 0, buffer) == 0) {
    return std::string();
  }
  return narrow(buffer);
}

std::FILE* openForWriting(const std::string& path) { return _wfopen(wide(path).c_str(), L"wb"); }

bool removeFile(const std::string& path) { return DeleteFileW(wide(path).c_str()) != 0; }

bool renameFileNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists; write-through makes
  // the new name durable before the host is told of it.
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

void debugOutput(const char* text) { OutputDebugStringA(text); }

std::string environmentVariable(const char* name) {
  std::wstring wname = wide(name);
  DWORD length = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (length == 0) return std::string();
  std::vector<wchar_t> buffer(length);
  GetEnvironmentVariableW(wname.c_str(), buffer.data(), length);
  return narrow(buffer.data());
}

}  // namespace platform
