// Win32 implementation of the platform services.
#include "platform/platform.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

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

// Paths that, with a file name of a few dozen characters added, would pass MAX_PATH are given
// in the "\\?\" form, which the file functions accept up to 32767 characters. That form is
// taken literally, so the path is made full first (no "..", no forward slashes).
constexpr std::size_t kRoomForFileName = 64;

std::string LongPathForm(const std::wstring& folder) {
  if (folder.size() + kRoomForFileName < MAX_PATH) return narrow(folder.c_str());
  if (folder.rfind(L"\\\\?\\", 0) == 0) return narrow(folder.c_str());
  const DWORD needed = GetFullPathNameW(folder.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return narrow(folder.c_str());
  std::vector<wchar_t> full(needed + 1);
  const DWORD length =
      GetFullPathNameW(folder.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return narrow(folder.c_str());
  std::wstring path(full.data(), length);
  if (path.rfind(L"\\\\", 0) == 0) return narrow((L"\\\\?\\UNC\\" + path.substr(2)).c_str());
  return narrow((L"\\\\?\\" + path).c_str());
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
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::u16string();
  std::wstring out(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
  return std::u16string(out.begin(), out.end());
}

std::wstring utf8ToWide(const std::string& text) {
  const std::u16string wide = utf8ToUtf16(text);
  return std::wstring(wide.begin(), wide.end());
}

std::string wideToUtf8(const std::wstring& text) {
  return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

std::string utf16ToUtf8(const std::u16string& text) {
  if (text.empty()) return std::string();
  std::wstring in(text.begin(), text.end());
  int length = WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                   nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, in.data(), static_cast<int>(in.size()), &out[0], length, nullptr,
                      nullptr);
  return out;
}

bool fileExists(const std::string& path) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(wide(path).c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

bool isDirectory(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string temporaryDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return std::string();
    // Too small: the result is the size needed, terminator included.
    if (length >= buffer.size()) {
      buffer.resize(length + 1);
      continue;
    }
    return LongPathForm(std::wstring(buffer.data(), length));
  }
}

std::string fallbackTemporaryDirectory() {
  wchar_t* localAppData = nullptr;
  std::string folder;
  if (SUCCEEDED(
          SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &localAppData))) {
    // Windows makes this folder for every user, but a profile set up by other means (Wine
    // makes none) may lack it; it is the user's own, so it is made when missing.
    const std::wstring temp = std::wstring(localAppData) + L"\\Temp\\";
    CreateDirectoryW(temp.c_str(), nullptr);
    folder = LongPathForm(temp);
  }
  CoTaskMemFree(localAppData);
  return folder;
}

std::FILE* openForWriting(const std::string& path) { return _wfopen(wide(path).c_str(), L"wb"); }

std::vector<std::string> filesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(wide(folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      names.push_back(narrow(found.cFileName));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

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
