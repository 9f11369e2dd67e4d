// The crash reporter: with the crash-test marker present, a capture makes the process fault on
// purpose, and a module may fault while the process loads it; either fault must leave a
// minidump named after the process in the temp folder.
#include <windows.h>

#include <fstream>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

const wchar_t kCrashMarker[] = L"C:\\_LUMENHALL_CRASH_ME_";

// The dump a process left in the temp folder, named after it, and the version note beside it;
// both are removed, so that no run leaves them behind.
void ExpectMinidumpAndRemoveIt(unsigned long pid,
                               const std::string& folder = platform::temporaryDirectory()) {
    const std::string prefix = folder + "lensbridge-" + std::to_string(pid) + "-";
    WIN32_FIND_DATAW found;
    const std::u16string pattern = platform::utf8ToUtf16(prefix + "*.dmp");
    HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>(pattern.c_str()), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no minidump " << prefix << "*.dmp";
    FindClose(search);
    const std::string dump = folder +
        platform::utf16ToUtf8(reinterpret_cast<const char16_t*>(found.cFileName));
    std::ifstream in(dump, std::ios::binary);
    char magic[4] = {};
    in.read(magic, 4);
    EXPECT_EQ(std::string(magic, 4), "MDMP");
    in.close();
    DeleteFileW(reinterpret_cast<const wchar_t*>(platform::utf8ToUtf16(dump).c_str()));

    // Beside the dump, the version and build it came from.
    const std::string annotation = dump + ".txt";
    std::ifstream notes(annotation);
    std::string firstLine;
    std::getline(notes, firstLine);
    EXPECT_EQ(firstLine.rfind("version=", 0), 0u) << annotation << ": " << firstLine;
    notes.close();
    DeleteFileW(reinterpret_cast<const wchar_t*>(platform::utf8ToUtf16(annotation).c_str()));
}

TEST(CrashReport, FaultLeavesAMinidump) {
    HANDLE marker = CreateFileW(kCrashMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) GTEST_SKIP() << "cannot create the marker on C:";
    CloseHandle(marker);

    // The marker is read once, while the modules load, and must be gone before any later
    // process starts; the pipes exist before that, so it stays until a command is answered.
    struct MarkerRemover {
        ~MarkerRemover() { DeleteFileW(kCrashMarker); }
    } removeMarker;
    CHostSession session;
    std::string error;
    ASSERT_TRUE(session.start(BuiltProgram("lensbridge.exe"), 15000, &error)) << error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
    DeleteFileW(kCrashMarker);
    ASSERT_FALSE(cameras.empty());
    std::unique_ptr<ZnLuaTE> settings;
    ASSERT_TRUE(session.connect(cameras[0].deviceId, &settings, &error)) << error;
    const unsigned long pid = session.client().process().processId();
    session.client().send("doCapture");

    auto code = session.client().process().waitForExit(30000);
    ASSERT_TRUE(code) << "the process did not end after the fault";
    EXPECT_NE(*code, 0u);

    ExpectMinidumpAndRemoveIt(pid);
}

TEST(CrashReport, AModuleFaultingWhileItStartsLeavesAMinidump) {
    // The simulated module faults in its own open, while the process loads the modules.
    CChildProcess process;
    std::string error;
    ASSERT_TRUE(process.start(BuiltProgram("lensbridge.exe"), {},
                              {{"LBSIM_FAULT_IN_MODULE_OPEN", "1"}}, &error)) << error;
    auto code = process.waitForExit(30000);
    ASSERT_TRUE(code) << "the process did not end after the fault";
    EXPECT_NE(*code, 0u);
    ExpectMinidumpAndRemoveIt(process.processId());
}

TEST(CrashReport, ATemporaryFolderTheSystemCannotNameStillGetsTheDump) {
    // Wine's GetTempPathW fails for a TMP past MAX_PATH (error 206); Windows would return it.
    if (!IsRunningUnderWine()) GTEST_SKIP() << "relies on Wine refusing a long TMP";
    const std::string tooLong = "C:\\" + std::string(300, 'x');
    CChildProcess process;
    std::string error;
    ASSERT_TRUE(process.start(BuiltProgram("lensbridge.exe"), {},
                              {{"LBSIM_FAULT_IN_MODULE_OPEN", "1"}, {"TMP", tooLong}, {"TEMP", tooLong}},
                              &error)) << error;
    auto code = process.waitForExit(30000);
    ASSERT_TRUE(code) << "the process did not end after the fault";
    const std::string localAppData = platform::environmentVariable("LOCALAPPDATA");
    ASSERT_FALSE(localAppData.empty());
    ExpectMinidumpAndRemoveIt(process.processId(), localAppData + "\\Temp\\");
}

}  // namespace
