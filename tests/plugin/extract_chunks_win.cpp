// Takes the plug-in chunks back out of a built lensbridge.exe, exactly as the host finds them
// (type "LUA", language 0x0409), and writes each to OUT-DIR under its resource name, so the
// Lua suite runs on what the exe really carries.
//
// Usage: extract_chunks.exe EXE OUT-DIR
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: extract_chunks EXE OUT-DIR\n");
    return 2;
  }
  HMODULE exe = LoadLibraryExW(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!exe) {
    std::fprintf(stderr, "cannot load %ls: %lu\n", argv[1], GetLastError());
    return 1;
  }
  const wchar_t* names[] = {L"INFO.LUA", L"LENSBRIDGESERVICEPROVIDER.LUA", L"LENSBRIDGETASK.LUA",
                            L"LENSBRIDGEUTILS.LUA"};
  int missing = 0;
  for (const wchar_t* name : names) {
    HRSRC found = FindResourceExW(exe, L"LUA", name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    HGLOBAL loaded = found ? LoadResource(exe, found) : nullptr;
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes) {
      std::fprintf(stderr, "resource LUA/%ls (language 0x0409) is missing\n", name);
      ++missing;
      continue;
    }
    const std::wstring path = std::wstring(argv[2]) + L"\\" + name;
    FILE* out = _wfopen(path.c_str(), L"wb");
    const DWORD size = SizeofResource(exe, found);
    if (!out || std::fwrite(bytes, 1, size, out) != size) {
      std::fprintf(stderr, "cannot write %ls\n", path.c_str());
      ++missing;
    }
    if (out) std::fclose(out);
  }
  return missing == 0 ? 0 : 1;
}
