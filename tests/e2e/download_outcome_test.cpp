// A picture that cannot arrive because a file stands where the download folder should be is
// reported to the host in an "error" notification, through the Win32 file functions under Wine.
// (Shots from the camera's button and a camera lost mid-transfer are driven through lbhost, and
// every failure path natively.)
#include <windows.h>

#include <fstream>
#include <string>

#include "tests/e2e/download_outcome_fixture.h"

namespace {

using namespace e2e;

TEST_F(DownloadOutcomeTest, FileWhereTheFolderShouldBeIsReported) {
    const std::string folder = m_downloads.file("pictures");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    start("", folder + "\\");
    // The folder is replaced by a file once the process runs: nothing can be created in it.
    ASSERT_TRUE(RemoveDirectoryA(folder.c_str()));
    std::ofstream(folder, std::ios::binary) << "in the way";
    ASSERT_NE(m_session.client().send("doCapture"), 0u);
    auto messages = downloads(1);
    SCOPED_TRACE("host was told:\n" + m_report);
    ASSERT_EQ(messages.size(), 1u) << "never announced";
    ASSERT_EQ(messages[0].nameText(), "error");
    EXPECT_EQ(NumberIn(messages[0], "capture_id"), -12345);
    EXPECT_EQ(NumberIn(messages[0], "error_code"), -1003);
    EXPECT_NE(TextIn(messages[0], "error_description").find("pictures"), std::string::npos);
    EXPECT_EQ(ReadFile(folder), "in the way");
    EXPECT_EQ(m_downloads.files().size(), 3u) << "only the scenario, the control file and ours";
    ExpectOrderlyShutdown(m_session);
}

}  // namespace
