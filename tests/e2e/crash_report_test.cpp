// The crash reporter: with the crash-test marker present, a capture makes the process fault on
// purpose; the fault must leave a minidump named after the process in the temp folder.
#include <windows.h>

#include <fstream>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

const wchar_t kCrashMarker[] = L"C:\\_LUMENHALL_CRASH_ME_";

TEST(CrashReport, FaultLeavesAMinidump) {
    HANDLE marker = CreateFileW(kCrashMarker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) GTEST_SKIP() << "cannot create the marker on C:";
    CloseHandle(marker);

    CHostSession session;
    std::string error;
    const bool started = session.start(BuiltProgram("lensbridge.exe"), 15000, &error);
    DeleteFileW(kCrashMarker);  // read once at start; later processes must not crash
    ASSERT_TRUE(started) << error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
    ASSERT_FALSE(cameras.empty());
    std::unique_ptr<ZnLuaTE> settings;
    ASSERT_TRUE(session.connect(cameras[0].deviceId, &settings, &error)) << error;
    const unsigned long pid = session.client().process().processId();
    session.client().send("doCapture");

    auto code = session.client().process().waitForExit(30000);
    ASSERT_TRUE(code) << "the process did not end after the fault";
    EXPECT_NE(*code, 0u);

    const std::string prefix = platform::temporaryDirectory() + "lensbridge-" + std::to_string(pid) + "-";
    WIN32_FIND_DATAW found;
    const std::u16string pattern = platform::utf8ToUtf16(prefix + "*.dmp");
    HANDLE search = FindFirstFileW(reinterpret_cast<const wchar_t*>(pattern.c_str()), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "no minidump " << prefix << "*.dmp";
    FindClose(search);
    const std::string dump = platform::temporaryDirectory() +
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

}  // namespace
