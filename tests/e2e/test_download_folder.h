// A folder of one test's own, where the process under test downloads its files and writes its
// crash dumps: the test hands environment() to the process it starts, which makes the folder
// that process's TMP and TEMP (GetTempPathW reads TMP first, then TEMP).
//
// RAII: the folder is created fresh by the constructor and removed with everything in it by the
// destructor, so a test whose assertion failed half-way leaves nothing behind either, and no
// test sees what an earlier one downloaded. The process writing into it must have ended before
// the folder goes: declare the folder before the session or process that uses it.
//
// The folders sit in the build tree beside the test programs (bin\test-downloads\), not in the
// user's temp folder: a run killed by a timeout leaves its folder there, under a name no later
// run uses, and never among the files of the Wine prefix or of a real session.
//
// Windows only (the tests, the benchmark and the recorder run under Wine). One thread uses an
// instance.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

class CTestDownloadFolder {
 public:
  // `name` says whose folder it is (a test's name); the process id and a counter make the
  // folder unique to this instance. A folder left under that name by a killed run is emptied.
  explicit CTestDownloadFolder(const std::string& name) {
    static unsigned s_count = 0;
    const std::string parent = platform::executableDirectory() + "test-downloads\\";
    CreateDirectoryW(Wide(parent).c_str(), nullptr);
    m_path = parent + name + "-" + std::to_string(GetCurrentProcessId()) + "-" +
             std::to_string(++s_count) + "\\";
    RemoveTree(m_path);
    if (!CreateDirectoryW(Wide(m_path).c_str(), nullptr)) {
      std::fprintf(stderr, "CTestDownloadFolder: cannot create %s (error %lu)\n", m_path.c_str(),
                   GetLastError());
      m_path.clear();
    }
    // The parent stays; it is empty again once every test has removed its own folder.
  }

  ~CTestDownloadFolder() {
    if (!remove()) {
      std::fprintf(stderr, "CTestDownloadFolder: %s could not be removed\n", m_path.c_str());
    }
  }

  CTestDownloadFolder(const CTestDownloadFolder&) = delete;
  CTestDownloadFolder& operator=(const CTestDownloadFolder&) = delete;

  // False when the folder could not be created; path() is then empty.
  bool valid() const { return !m_path.empty(); }
  // The folder, with a trailing backslash.
  const std::string& path() const { return m_path; }
  // A file inside the folder.
  std::string file(const std::string& name) const { return m_path + name; }

  // TMP and TEMP naming the folder, for CChildProcess::start and the sessions built on it;
  // `more` is appended (for the simulator's scenario and control files).
  std::vector<std::pair<std::string, std::string>> environment(
      std::vector<std::pair<std::string, std::string>> more = {}) const {
    std::vector<std::pair<std::string, std::string>> variables = {{"TMP", m_path},
                                                                   {"TEMP", m_path}};
    for (auto& entry : more) variables.push_back(std::move(entry));
    return variables;
  }

  // Names of the files in the folder, in no particular order.
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(m_path + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      names.push_back(platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(found.cFileName)));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

  // Removes the folder and everything in it; true when it is gone. Called by the destructor.
  bool remove() {
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

 private:
  static std::wstring Wide(const std::string& text) {
    const std::u16string wide = platform::utf8ToUtf16(text);
    return std::wstring(wide.begin(), wide.end());
  }

  // Deletes `folder` (with a trailing backslash) and what it holds; true when it no longer
  // exists.
  static bool RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::string child =
            folder + platform::utf16ToUtf8(std::u16string(name.begin(), name.end()));
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(child + "\\");
        } else {
          SetFileAttributesW(Wide(child).c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW(Wide(child).c_str());
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(Wide(folder).c_str());
    return GetFileAttributesW(Wide(folder).c_str()) == INVALID_FILE_ATTRIBUTES;
  }

  std::string m_path;
};
