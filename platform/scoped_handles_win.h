// Owning wrappers of the Win32 handle kinds the process and the host-side tools use.
//
// CScopedKernelHandle: one kernel object closed with CloseHandle (pipes, events, threads,
// semaphores). Win32 has two empty values, null (events, threads) and INVALID_HANDLE_VALUE
// (CreateNamedPipeW, CreateFileW); both count as empty here.
// CScopedLocalMemory: a block that Win32 allocated for us and that LocalFree releases (the
// security descriptor built from SDDL).
//
// Ownership moves only explicitly: move construction or assignment, or release().
#pragma once

#include <windows.h>

class CScopedKernelHandle {
 public:
  CScopedKernelHandle() = default;
  explicit CScopedKernelHandle(HANDLE handle) : m_handle(handle) {}
  ~CScopedKernelHandle() { reset(); }

  CScopedKernelHandle(const CScopedKernelHandle&) = delete;
  CScopedKernelHandle& operator=(const CScopedKernelHandle&) = delete;
  CScopedKernelHandle(CScopedKernelHandle&& other) noexcept : m_handle(other.release()) {}
  CScopedKernelHandle& operator=(CScopedKernelHandle&& other) noexcept {
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

class CScopedLocalMemory {
 public:
  CScopedLocalMemory() = default;
  ~CScopedLocalMemory() { reset(); }

  CScopedLocalMemory(const CScopedLocalMemory&) = delete;
  CScopedLocalMemory& operator=(const CScopedLocalMemory&) = delete;

  void* get() const { return m_memory; }

  // The address an API that allocates for its caller (ConvertStringSecurityDescriptor...)
  // fills in; whatever was held before is freed first.
  void** receive() {
    reset();
    return &m_memory;
  }

  void reset() {
    if (m_memory) LocalFree(m_memory);
    m_memory = nullptr;
  }

 private:
  void* m_memory = nullptr;
};
