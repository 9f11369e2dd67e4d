// pipe_echo.exe: the baseline of the round-trip benchmark. A bare message-mode pipe server that
// sends every message straight back, with none of lensbridge's decoding, locking or queueing,
// so the benchmark can tell how much our own path adds to what the pipes cost under the same
// system.
//
// Usage: pipe_echo.exe PIPE-NAME   (serves one client, ends when it disconnects)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: pipe_echo PIPE-NAME\n");
    return 2;
  }
  HANDLE pipe = CreateNamedPipeW(argv[1], PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                 64 * 1024, 64 * 1024, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "CreateNamedPipeW failed: %lu\n", GetLastError());
    return 1;
  }
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    std::fprintf(stderr, "ConnectNamedPipe failed: %lu\n", GetLastError());
    CloseHandle(pipe);
    return 1;
  }
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) break;
    DWORD written = 0;
    if (!WriteFile(pipe, buffer.data(), read, &written, nullptr) || written != read) break;
  }
  CloseHandle(pipe);
  return 0;
}
