#include "lbhost/core/download_progress.h"

#include <algorithm>
#include <cstdio>

void CDownloadProgress::started(int captureId, const std::string& fileName, long long size) {
  m_files[captureId] = File{fileName, size, -1};
}

void CDownloadProgress::ended(int captureId) { m_files.erase(captureId); }

bool CDownloadProgress::grew() {
  bool grown = false;
  for (auto& entry : m_files) {
    File& file = entry.second;
    const std::optional<long long> bytes = m_bytesOnDisk(file.name);
    if (!bytes) continue;
    if (*bytes > file.seen) grown = true;
    file.seen = std::max(file.seen, *bytes);
  }
  return grown;
}

std::string CDownloadProgress::describe() const {
  if (m_files.empty()) return std::string();
  long long done = 0;
  long long total = 0;
  for (const auto& entry : m_files) {
    done += std::max(0LL, std::min(entry.second.seen, entry.second.size));
    total += entry.second.size;
  }
  constexpr double kMiB = 1024.0 * 1024.0;
  char text[64];
  std::snprintf(text, sizeof text, "%.1f of %.1f MiB (%d%%)", done / kMiB, total / kMiB,
                total > 0 ? static_cast<int>(done * 100 / total) : 0);
  return text;
}
