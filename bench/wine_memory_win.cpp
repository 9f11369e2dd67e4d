#include "bench/wine_memory.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>

double WineResidentMegabytes(const char* name) {
  // On a shared machine another Wine prefix may run a program of the same name: only one that
  // runs in our own prefix counts.
  char prefix[MAX_PATH] = "";
  const std::string wanted = GetEnvironmentVariableA("WINEPREFIX", prefix, sizeof prefix)
                                 ? std::string("WINEPREFIX=") + prefix
                                 : std::string();
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA("Z:\\proc\\*", &entry);
  if (search == INVALID_HANDLE_VALUE) return 0;
  double megabytes = 0;
  do {
    if (entry.cFileName[0] < '0' || entry.cFileName[0] > '9') continue;
    const std::string dir = std::string("Z:\\proc\\") + entry.cFileName;
    std::string command;
    std::getline(std::ifstream(dir + "\\comm"), command);
    if (command != name) continue;
    if (!wanted.empty()) {
      std::ifstream environment(dir + "\\environ", std::ios::binary);
      bool ours = false;
      for (std::string variable; !ours && std::getline(environment, variable, '\0');)
        ours = variable == wanted;
      if (!ours) continue;
    }
    std::ifstream status(dir + "\\status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) megabytes = std::atof(line.c_str() + 6) / 1024.0;
    }
    break;
  } while (FindNextFileA(search, &entry));
  FindClose(search);
  return megabytes;
}
