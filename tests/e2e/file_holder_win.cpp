// file_holder.exe <folder> <suffix> <hold-ms> <run-ms>
//
// Plays an on-access virus scanner (or an indexer, or a sync client) for the end-to-end tests:
// each new file in <folder> whose name ends with <suffix> is opened for reading, sharing read
// and write but not delete, held for <hold-ms> and closed. While it is held, Windows (and
// Wine) refuse to rename or delete it. The program ends after <run-ms>, closing whatever it
// still holds, and prints "held NAME for N ms" for each file once it let go of it.
//
// Files already in the folder when it starts count as new, so a test need not wait for it to
// be ready. A file is held again only after it was removed and made anew.
//
// New names are learnt from a listing of the folder every 5 ms: the tests' files take their
// name after a transfer of 200 ms or more, so none is missed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/scoped_handles_win.h"

namespace {

constexpr DWORD kListingIntervalMs = 5;

struct HeldFile {
  std::wstring name;
  CScopedKernelHandle handle;
  ULONGLONG openedAt;
};

bool EndsWith(const std::wstring& name, const std::wstring& suffix) {
  return name.size() >= suffix.size() &&
         _wcsicmp(name.c_str() + name.size() - suffix.size(), suffix.c_str()) == 0;
}

bool ParseMs(const wchar_t* text, DWORD& ms) {
  wchar_t* end = nullptr;
  const unsigned long value = std::wcstoul(text, &end, 10);
  if (!*text || *end || value > 24ul * 60 * 60 * 1000) return false;
  ms = static_cast<DWORD>(value);
  return true;
}

class CFileHolder {
 public:
  CFileHolder(std::wstring folder, std::wstring suffix, DWORD holdMs)
      : m_folder(std::move(folder)), m_suffix(std::move(suffix)), m_holdMs(holdMs) {
    if (!m_folder.empty() && m_folder.back() != L'\\' && m_folder.back() != L'/') m_folder += L'\\';
  }

  // Opens `name` if it is one of ours and not held since it was made. A file the writer still
  // keeps from sharing, or one already gone, is simply tried again when next seen.
  void consider(const std::wstring& name) {
    if (!EndsWith(name, m_suffix) || m_done.count(name) != 0) return;
    CScopedKernelHandle handle(CreateFileW((m_folder + name).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) return;
    m_done.insert(name);
    m_held.push_back({name, std::move(handle), GetTickCount64()});
  }

  // Lists the folder: takes the files not held yet and forgets those that are gone.
  void list() {
    std::set<std::wstring> present;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((m_folder + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) present.insert(found.cFileName);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    for (auto it = m_done.begin(); it != m_done.end();) {
      bool open = false;
      for (const HeldFile& held : m_held) open |= held.name == *it;
      it = present.count(*it) || open ? std::next(it) : m_done.erase(it);
    }
    for (const std::wstring& name : present) consider(name);
  }

  // Closes the files held for their time (all of them when `all`); how long until the next
  // one is due, at most `longest`.
  DWORD release(bool all, DWORD longest) {
    const ULONGLONG now = GetTickCount64();
    DWORD wait = longest;
    for (auto it = m_held.begin(); it != m_held.end();) {
      const ULONGLONG heldMs = now - it->openedAt;
      if (all || heldMs >= m_holdMs) {
        it->handle.reset();
        std::printf("held %s for %llu ms\n", platform::wideToUtf8(it->name).c_str(), heldMs);
        std::fflush(stdout);
        it = m_held.erase(it);
      } else {
        wait = std::min<DWORD>(wait, static_cast<DWORD>(m_holdMs - heldMs));
        ++it;
      }
    }
    return wait;
  }

  const std::wstring& folder() const { return m_folder; }

 private:
  std::wstring m_folder;  // with a trailing backslash
  std::wstring m_suffix;
  DWORD m_holdMs;
  std::vector<HeldFile> m_held;
  std::set<std::wstring> m_done;  // held, or being held, since the file was made
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD holdMs = 0, runMs = 0;
  if (argc != 5 || !*argv[1] || !*argv[2] || !ParseMs(argv[3], holdMs) ||
      !ParseMs(argv[4], runMs)) {
    std::fprintf(stderr, "usage: file_holder <folder> <suffix> <hold-ms> <run-ms>\n");
    return 2;
  }
  CFileHolder holder(argv[1], argv[2], holdMs);
  if (GetFileAttributesW(holder.folder().c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "file_holder: GetFileAttributesW of the folder failed: %lu\n", error);
    return 2;
  }
  std::printf("watching\n");  // what a test waits for before it makes files
  std::fflush(stdout);
  const ULONGLONG end = GetTickCount64() + runMs;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    holder.list();
    Sleep(
        holder.release(false, std::min<DWORD>(kListingIntervalMs, static_cast<DWORD>(end - now))));
  }
  holder.release(true, 0);
  return 0;
}
