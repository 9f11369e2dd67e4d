// POSIX implementation of the platform services, for the native build and its unit tests.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <thread>

namespace platform {

void sleepMs(unsigned ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint32_t tickCountMs() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

void* loadModule(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* findSymbol(void* module, const char* name) { return module ? dlsym(module, name) : nullptr; }

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

std::string executableDirectory() {
  std::string path = executablePath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

char pathSeparator() { return '/'; }

std::u16string utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    char32_t code = 0xFFFD;
    size_t extra = 0;
    if (c < 0x80) {
      code = c;
    } else if ((c & 0xE0) == 0xC0) {
      code = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      code = c & 0x07;
      extra = 3;
    }
    if (i + extra >= text.size() && extra > 0) {
      out.push_back(0xFFFD);
      break;
    }
    bool valid = (c < 0x80) || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    i += valid ? extra + 1 : 1;
    if (!valid) code = 0xFFFD;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

std::string utf16ToUtf8(const std::u16string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

bool fileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0;
}

std::string temporaryDirectory() {
  std::string dir = environmentVariable("TMPDIR");
  if (dir.empty()) dir = "/tmp";
  if (dir.back() != '/') dir.push_back('/');
  return dir;
}

std::string fallbackTemporaryDirectory() {
  const std::string home = environmentVariable("HOME");
  return home.empty() ? std::string() : home + "/.cache/";
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::FILE* openForWriting(const std::string& path) { return std::fopen(path.c_str(), "wb"); }

std::vector<std::string> filesInFolder(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    struct stat info;
    const std::string path = folder + entry->d_name;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) names.push_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

namespace {

// Windows refuses to rename or delete a file that another program holds open without sharing
// delete (a virus scanner, an indexer); POSIX has no such refusal. A file on which another open
// file holds a lock stands in for one, so the native tests can hold a file as such a program
// does.
bool HeldByAnother(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return held;
}

}  // namespace

bool removeFile(const std::string& path) {
  return !HeldByAnother(path) && std::remove(path.c_str()) == 0;
}

bool renameFileNoReplace(const std::string& from, const std::string& to) {
  if (HeldByAnother(from)) return false;
  // rename() would replace `to`; a second link fails on an existing name instead, as
  // MoveFileExW without MOVEFILE_REPLACE_EXISTING does on Windows.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  unlink(from.c_str());
  return true;
}

void debugOutput(const char*) {}

std::string environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace platform
