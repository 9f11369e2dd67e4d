// Owning wrapper of one Win32 kernel handle, for the host-side tools and tests.
//
// Both empty values that Win32 uses (null and INVALID_HANDLE_VALUE) count as empty; the handle
// is closed with CloseHandle when the wrapper is destroyed or reset. Ownership moves only
// explicitly (move construction, move assignment, release()).
#pragma once

#include <windows.h>

class CScopedHandle {
 public:
  CScopedHandle() = default;
  explicit CScopedHandle(HANDLE handle) : m_handle(handle) {}
  ~CScopedHandle() { reset(); }

  CScopedHandle(const CScopedHandle&) = delete;
  CScopedHandle& operator=(const CScopedHandle&) = delete;
  CScopedHandle(CScopedHandle&& other) noexcept : m_handle(other.release()) {}
  CScopedHandle& operator=(CScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return m_handle; }

  // Closes the handle held so far and takes ownership of `handle`.
  void reset(HANDLE handle = nullptr) {
    if (valid()) CloseHandle(m_handle);
    m_handle = handle;
  }

  // Gives up ownership without closing; the caller closes the returned handle.
  HANDLE release() {
    HANDLE handle = m_handle;
    m_handle = nullptr;
    return handle;
  }

 private:
  HANDLE m_handle = nullptr;
};
