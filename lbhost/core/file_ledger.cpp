#include "lbhost/core/file_ledger.h"

#include "platform/free_name.h"
#include "platform/platform.h"

void CFileLedger::downloading(int captureId, const std::string& fileName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_entries[captureId] = Entry{fileName, State::Downloading, std::string()};
}

void CFileLedger::downloaded(int captureId, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Entry& entry = m_entries[captureId];
  entry.state = State::Downloaded;
  entry.path = path;
}

void CFileLedger::failed(int captureId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto it = m_entries.find(captureId);
  if (it != m_entries.end() && it->second.state == State::Downloading)
    it->second.state = State::Failed;
}

void CFileLedger::saved(int captureId, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Entry& entry = m_entries[captureId];
  entry.state = State::Saved;
  entry.path = path;
  m_lastSaved = path;
}

bool CFileLedger::downloadInProgress() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& e : m_entries) {
    if (e.second.state == State::Downloading) return true;
  }
  return false;
}

std::string CFileLedger::whereIs(const Entry& entry) const {
  if (entry.state == State::Downloaded) return "downloaded but not moved, at " + entry.path;
  // The process may have finished it since the last message lbhost read: the disk tells.
  const std::string whole = m_downloadFolder + entry.fileName;
  if (!m_downloadFolder.empty() && platform::fileExists(whole))
    return "downloaded but not moved, at " + whole;
  if (!m_downloadFolder.empty() && platform::fileExists(whole + platform::kPartialFileSuffix)) {
    return "still downloading, not whole yet, at " + whole + platform::kPartialFileSuffix;
  }
  return "still downloading, nothing of it in " +
         (m_downloadFolder.empty() ? std::string("the download folder") : m_downloadFolder) +
         " yet";
}

std::vector<std::string> CFileLedger::notSaved() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::string> lines;
  for (const auto& e : m_entries) {
    if (e.second.state == State::Downloading || e.second.state == State::Downloaded) {
      lines.push_back(e.second.fileName + ": " + whereIs(e.second));
    }
  }
  return lines;
}

std::string CFileLedger::summary() const {
  std::size_t savedCount = 0;
  std::string lastSaved;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& e : m_entries) savedCount += e.second.state == State::Saved;
    lastSaved = m_lastSaved;
  }
  std::string text;
  if (savedCount > 0)
    text += std::to_string(savedCount) + " file(s) saved, the last at " + lastSaved + "\n";
  for (const auto& line : notSaved()) text += "not saved: " + line + "\n";
  return text;
}
