// file_holder.exe, the stand-in for a virus scanner that the download tests start: a file it
// holds cannot be renamed until it lets go, so those tests see the refusal a user's scanner
// causes on Windows.
#include <windows.h>

#include <string>

#include "tests/e2e/e2e_support.h"
#include "tools/child_process.h"

namespace {

// True while another process has the file open without sharing delete: opening it for
// deletion is then refused, and a rename with it.
bool HeldByAnother(const std::string& path) {
    CScopedKernelHandle probe(CreateFileW(platform::utf8ToWide(path).c_str(), DELETE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe.valid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

TEST(FileHolder, AHeldFileCannotBeRenamedUntilItIsLetGo) {
    CTestDownloadFolder folder(CurrentTestName());
    ASSERT_TRUE(folder.valid());
    const std::string part = folder.file("Capture0001.jpg.part");
    const std::string done = folder.file("Capture0001.jpg");
    CChildProcess holder;
    holder.sendOutputTo(folder.file("holder.txt"), folder.file("holder-errors.txt"));
    std::string error;
    ASSERT_TRUE(holder.start(BuiltProgram("file_holder.exe"), {folder.path(), ".part", "1500", "4000"},
                             {}, &error))
        << error;
    {
        CScopedKernelHandle file(CreateFileW(platform::utf8ToWide(part).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.valid());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), "jpeg", 4, &written, nullptr));
    }
    bool held = false;
    for (int i = 0; i < 2500 && !held; ++i) {
        held = HeldByAnother(part);
        if (!held) Sleep(2);
    }
    ASSERT_TRUE(held) << "file_holder never opened the file";
    EXPECT_FALSE(MoveFileExW(platform::utf8ToWide(part).c_str(), platform::utf8ToWide(done).c_str(), 0)) << "renamed while held";

    const auto code = holder.waitForExit(15000);
    ASSERT_TRUE(code) << "file_holder did not end after its run time";
    EXPECT_EQ(*code, 0u);
    EXPECT_TRUE(MoveFileExW(platform::utf8ToWide(part).c_str(), platform::utf8ToWide(done).c_str(), 0)) << GetLastError();
    const std::string out = ReadFile(folder.file("holder.txt"));
    EXPECT_EQ(out.rfind("held Capture0001.jpg.part for ", 0), 0u) << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one file held, once: " << out;
}

}  // namespace
