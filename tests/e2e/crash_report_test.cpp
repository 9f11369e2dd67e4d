// The crash reporter: with the crash-test marker present, a capture makes the process fault on
// purpose, and a module may fault while the process loads it; either fault must leave a
// minidump named after the process in the temp folder.
#include <windows.h>

#include <string>

#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

// Writing a minidump takes Wine 10 to 20 s on a quiet machine (its dbghelp reads every module
// of the process) and more on a busy one, so the process is given long to end.
constexpr unsigned kDumpWrittenMs = 100000;

const wchar_t kCrashMarker[] = L"C:\\_LUMENHALL_CRASH_ME_";

// The dump that process `pid` left in `folder`, named after it, and the version note beside
// it. Their paths go to *written so that a caller outside a test folder can remove them.
void ExpectMinidump(unsigned long pid, const std::string& folder,
                    std::vector<std::string>* written = nullptr) {
  const std::string prefix = folder + "lensbridge-" + std::to_string(pid) + "-";
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(platform::utf8ToWide(prefix + "*.dmp").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no minidump " << prefix << "*.dmp";
  FindClose(search);
  const std::string dump = folder + platform::wideToUtf8(found.cFileName);
  const std::string annotation = dump + ".txt";
  if (written) *written = {dump, annotation};
  EXPECT_EQ(ReadFile(dump).substr(0, 4), "MDMP");
  // Beside the dump, the version and build it came from.
  const std::string notes = ReadFile(annotation);
  EXPECT_EQ(notes.rfind("version=", 0), 0u) << annotation << ": " << notes;
}

TEST(CrashReport, FaultLeavesAMinidump) {
  CTestDownloadFolder temp(CurrentTestName());
  ASSERT_TRUE(temp.valid());
  HANDLE marker = CreateFileW(kCrashMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker == INVALID_HANDLE_VALUE) GTEST_SKIP() << "cannot create the marker on C:";
  CloseHandle(marker);
  // The marker is read once, while the modules load, and must be gone before any later
  // process starts. The pipes exist before the modules load, so it stays until a command
  // has been answered, and goes whatever happens.
  struct MarkerRemover {
    ~MarkerRemover() { DeleteFileW(kCrashMarker); }
  } removeMarker;

  CHostSession session;
  std::string error;
  ASSERT_TRUE(session.start(BuiltProgram("lensbridge.exe"), 15000, &error, temp.environment()))
      << error;
  ListAndConnect(session);
  DeleteFileW(kCrashMarker);
  const unsigned long pid = session.client().process().processId();
  session.client().send("doCapture");

  auto code = session.client().process().waitForExit(kDumpWrittenMs);
  ASSERT_TRUE(code) << "the process did not end after the fault";
  EXPECT_NE(*code, 0u);
  // The dump and its note land in the process's temp folder; the folder takes them away.
  ExpectMinidump(pid, temp.path());
}

// A process whose simulated module faults in its own open, while the process loads the
// modules, started with `environment`; its id once it has ended with an error code.
unsigned long ModuleFaultingAtStart(std::vector<std::pair<std::string, std::string>> environment) {
  environment.push_back({"LBSIM_FAULT_IN_MODULE_OPEN", "1"});
  CChildProcess process;
  std::string error;
  EXPECT_TRUE(process.start(BuiltProgram("lensbridge.exe"), {}, environment, &error)) << error;
  auto code = process.waitForExit(kDumpWrittenMs);
  EXPECT_TRUE(code) << "the process did not end after the fault";
  EXPECT_NE(code.value_or(0), 0u);
  return process.processId();
}

// Under Wine the process is also given a TMP past MAX_PATH, which Wine's GetTempPathW refuses
// (error 206; Windows would return it): the dump goes to the fallback folder, the prefix's own,
// and is removed here.
TEST(CrashReport, AModuleFaultingWhileItStartsLeavesAMinidump) {
  if (!IsRunningUnderWine()) {
    CTestDownloadFolder temp(CurrentTestName());
    ASSERT_TRUE(temp.valid());
    return ExpectMinidump(ModuleFaultingAtStart(temp.environment()), temp.path());
  }
  const std::string tooLong = "C:\\" + std::string(300, 'x');
  const unsigned long pid = ModuleFaultingAtStart({{"TMP", tooLong}, {"TEMP", tooLong}});
  std::vector<std::string> written;
  ExpectMinidump(pid, LocalTemporaryFolder(), &written);
  for (const std::string& path : written) DeleteFileW(platform::utf8ToWide(path).c_str());
}

}  // namespace
