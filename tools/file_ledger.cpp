#include "tools/file_ledger.h"

#include <algorithm>

void CFileLedger::downloading(const std::string& fileName) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_downloading.push_back(fileName);
}

void CFileLedger::downloaded(const std::string& fileName, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find(m_downloading.begin(), m_downloading.end(), fileName);
    if (it != m_downloading.end()) m_downloading.erase(it);
    m_downloaded.push_back(path);
}

void CFileLedger::saved(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find(m_downloaded.begin(), m_downloaded.end(), from);
    if (it != m_downloaded.end()) m_downloaded.erase(it);
    m_saved.push_back(to);
}

std::string CFileLedger::summary() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    if (!m_saved.empty()) {
        text += std::to_string(m_saved.size()) + " file(s) saved, the last at " + m_saved.back() + "\n";
    }
    for (const auto& path : m_downloaded) text += "downloaded but not moved, still at " + path + "\n";
    for (const auto& name : m_downloading) {
        text += name + " was still downloading: it is not complete in the temp folder\n";
    }
    return text;
}
