#include "tests/support/test_download_folder.h"

#include <windows.h>

#include <cstdio>

#include "platform/platform.h"

namespace {

// Deletes `folder` (with a trailing backslash) and what it holds; true when it no longer
// exists.
bool RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(platform::utf8ToWide(folder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::string child =
          folder + platform::utf16ToUtf8(std::u16string(name.begin(), name.end()));
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(child + "\\");
      } else {
        SetFileAttributesW(platform::utf8ToWide(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(platform::utf8ToWide(child).c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(platform::utf8ToWide(folder).c_str());
  return GetFileAttributesW(platform::utf8ToWide(folder).c_str()) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace

CTestDownloadFolder::CTestDownloadFolder(const std::string& name) {
  static unsigned s_count = 0;
  const std::string parent = platform::executableDirectory() + "test-downloads\\";
  CreateDirectoryW(platform::utf8ToWide(parent).c_str(), nullptr);
  m_path = parent + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++s_count) + "\\";
  RemoveTree(m_path);
  if (!CreateDirectoryW(platform::utf8ToWide(m_path).c_str(), nullptr)) {
    std::fprintf(stderr, "CTestDownloadFolder: cannot create %s (error %lu)\n", m_path.c_str(),
                 GetLastError());
    m_path.clear();
  }
  // The parent stays; it is empty again once every test has removed its own folder.
}

CTestDownloadFolder::~CTestDownloadFolder() {
  if (!remove()) {
    std::fprintf(stderr, "CTestDownloadFolder: %s could not be removed\n", m_path.c_str());
  }
}

std::vector<std::pair<std::string, std::string>> CTestDownloadFolder::environment(
    std::vector<std::pair<std::string, std::string>> more) const {
  std::vector<std::pair<std::string, std::string>> variables = {{"TMP", m_path}, {"TEMP", m_path}};
  for (auto& entry : more) variables.push_back(std::move(entry));
  return variables;
}

std::vector<std::string> CTestDownloadFolder::files() const {
  return platform::filesInFolder(m_path);
}

bool CTestDownloadFolder::remove() {
  if (m_path.empty()) return true;
  // A process that has just ended may hold a file open for a moment longer: under Wine its
  // handles are closed by the server after the process is seen to end, which on a loaded
  // machine has taken a few seconds. A removal that succeeds returns at once.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (RemoveTree(m_path)) {
      m_path.clear();
      return true;
    }
    Sleep(100);
  }
  return false;
}
