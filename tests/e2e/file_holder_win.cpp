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
// New names are learnt from ReadDirectoryChangesW, which reports a file that lives only a few
// milliseconds, and from a listing of the folder every 5 ms in case a change report is lost
// (its buffer overflowed) or the call is not supported.
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

  // A file removed (or renamed away) may come again under the same name, as a new file.
  void forget(const std::wstring& name) {
    for (const HeldFile& held : m_held)
      if (held.name == name) return;  // still open here: its name cannot be taken
    m_done.erase(name);
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

// Change reports of one folder, read overlapped so the main loop can wait on them with a
// timeout. The buffer stays ours while a read may still complete into it.
class CFolderChanges {
 public:
  // `folder` ends with a backslash, which is left out of the folder's own name.
  explicit CFolderChanges(const std::wstring& folder)
      : m_folder(CreateFileW(folder.substr(0, folder.size() - 1).c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                             nullptr)),
        m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_overlapped.hEvent = m_event.get();
    m_reading = m_folder.valid() && m_event.valid() && read();
  }
  ~CFolderChanges() {
    if (m_reading) {
      CancelIo(m_folder.get());
      DWORD ignored;
      GetOverlappedResult(m_folder.get(), &m_overlapped, &ignored, TRUE);
    }
  }
  CFolderChanges(const CFolderChanges&) = delete;
  CFolderChanges& operator=(const CFolderChanges&) = delete;

  // Waits up to `ms` for a report; hands each added and removed name to the holder. True when
  // the reports may have missed something (overflow, no reports at all): list the folder.
  bool wait(DWORD ms, CFileHolder& holder) {
    if (!m_reading) {
      Sleep(ms);
      return true;
    }
    if (WaitForSingleObject(m_event.get(), ms) != WAIT_OBJECT_0) return false;
    DWORD bytes = 0;
    const bool ok = GetOverlappedResult(m_folder.get(), &m_overlapped, &bytes, FALSE);
    bool missed = !ok || bytes == 0;
    for (DWORD offset = 0; ok && bytes > 0;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(
          reinterpret_cast<const unsigned char*>(m_buffer) + offset);
      const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (info->Action == FILE_ACTION_ADDED || info->Action == FILE_ACTION_RENAMED_NEW_NAME) {
        holder.consider(name);
      } else if (info->Action == FILE_ACTION_REMOVED || info->Action == FILE_ACTION_RENAMED_OLD_NAME) {
        holder.forget(name);
      }
      if (info->NextEntryOffset == 0) break;
      offset += info->NextEntryOffset;
    }
    m_reading = read();
    return missed || !m_reading;
  }

 private:
  bool read() {
    ResetEvent(m_event.get());
    return ReadDirectoryChangesW(m_folder.get(), m_buffer, sizeof m_buffer, FALSE,
                                 FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &m_overlapped, nullptr) != 0;
  }

  CScopedKernelHandle m_folder;
  CScopedKernelHandle m_event;
  OVERLAPPED m_overlapped{};
  DWORD m_buffer[16 * 1024];  // DWORD-aligned, as the reports require
  bool m_reading = false;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD holdMs = 0, runMs = 0;
  if (argc != 5 || !*argv[1] || !*argv[2] || !ParseMs(argv[3], holdMs) || !ParseMs(argv[4], runMs)) {
    std::fprintf(stderr, "usage: file_holder <folder> <suffix> <hold-ms> <run-ms>\n");
    return 2;
  }
  CFileHolder holder(argv[1], argv[2], holdMs);
  if (GetFileAttributesW(holder.folder().c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "file_holder: GetFileAttributesW of the folder failed: %lu\n", error);
    return 2;
  }
  // Reports are asked for before the first listing, so no file falls between the two.
  CFolderChanges changes(holder.folder());
  const ULONGLONG end = GetTickCount64() + runMs;
  ULONGLONG nextListing = 0;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    if (now >= nextListing) {
      holder.list();
      nextListing = now + kListingIntervalMs;
    }
    const DWORD untilListing = static_cast<DWORD>(nextListing - now);
    const DWORD wait = holder.release(false, std::min<DWORD>(untilListing, static_cast<DWORD>(end - now)));
    if (changes.wait(wait, holder)) nextListing = 0;
  }
  holder.release(true, 0);
  return 0;
}
