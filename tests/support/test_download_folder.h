// A folder of one test's own, where the process under test downloads its files and writes its
// crash dumps: the test hands environment() to the process it starts, which makes the folder
// that process's TMP and TEMP (GetTempPathW reads TMP first, then TEMP).
//
// RAII: the folder is created fresh by the constructor and removed with everything in it by the
// destructor, so a test whose assertion failed half-way leaves nothing behind either, and no
// test sees what an earlier one downloaded. The process writing into it must have ended before
// the folder goes: declare the folder before the session or process that uses it.
//
// The folders sit in the build tree beside the test programs (bin\test-downloads\), not in the
// user's temp folder: a run killed by a timeout leaves its folder there, under a name no later
// run uses, and never among the files of the Wine prefix or of a real session.
//
// Windows only (the tests, the benchmark and the recorder run under Wine). One thread uses an
// instance.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CTestDownloadFolder {
 public:
  // `name` says whose folder it is (a test's name); the process id and a counter make the
  // folder unique to this instance. A folder left under that name by a killed run is emptied.
  explicit CTestDownloadFolder(const std::string& name);
  ~CTestDownloadFolder();

  CTestDownloadFolder(const CTestDownloadFolder&) = delete;
  CTestDownloadFolder& operator=(const CTestDownloadFolder&) = delete;

  // False when the folder could not be created; path() is then empty.
  bool valid() const { return !m_path.empty(); }
  // The folder, with a trailing backslash.
  const std::string& path() const { return m_path; }
  // A file inside the folder.
  std::string file(const std::string& name) const { return m_path + name; }

  // TMP and TEMP naming the folder, for CChildProcess::start and the sessions built on it;
  // `more` is appended (for the simulator's scenario and control files).
  std::vector<std::pair<std::string, std::string>> environment(
      std::vector<std::pair<std::string, std::string>> more = {}) const;

  // Names of the files in the folder, in no particular order.
  std::vector<std::string> files() const;

  // Removes the folder and everything in it; true when it is gone. Called by the destructor.
  bool remove();

 private:
  std::string m_path;
};
