// Where the files of a run are at this moment: announced and still downloading, downloaded
// into the process's temp folder, or saved where they belong. A second Ctrl+C ends lbhost at
// once from the console's handler thread, and this is what it tells the photographer first.
// Portable.
// Threads: the run's thread records; any thread may call summary().
#pragma once

#include <mutex>
#include <string>
#include <vector>

class CFileLedger {
public:
    // The camera announced `fileName`; its download has begun.
    void downloading(const std::string& fileName);
    // `fileName` is complete at `path`, where the process put it.
    void downloaded(const std::string& fileName, const std::string& path);
    // The file at `from` is now at `to`, where it stays (the same path when it was not moved).
    void saved(const std::string& from, const std::string& to);

    // Lines saying which files are where; empty when no file was announced.
    std::string summary() const;

private:
    mutable std::mutex m_mutex;  // guards the three lists
    std::vector<std::string> m_downloading;  // file names
    std::vector<std::string> m_downloaded;   // paths in the temp folder
    std::vector<std::string> m_saved;        // final paths
};
