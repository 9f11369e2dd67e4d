// What the host hears of each picture, through the pipes under Wine: shots taken with the
// camera's own button reach it like any other, and a picture that cannot arrive (the camera
// lost mid-transfer, a file where the download folder should be) is reported in an "error"
// notification carrying the id of its announcement, when there was one, with nothing of it left
// on disk.
#include <windows.h>

#include <fstream>
#include <string>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"
#include "tests/e2e/download_outcome_fixture.h"

namespace {

using namespace e2e;

TEST_F(DownloadOutcomeTest, ButtonShotsReachTheHost) {
    // Connecting tells the camera to save to the computer; it takes its first shot at once.
    start("habits=camera-button");
    auto first = downloads(1);
    control("shoot 1");
    auto second = downloads(1);
    SCOPED_TRACE("host was told:\n" + m_report);
    for (auto* shot : {&first, &second}) {
        ASSERT_EQ(shot->size(), 2u);
        EXPECT_EQ((*shot)[0].nameText(), "objectWasAdded");
        ASSERT_EQ((*shot)[1].nameText(), "fileDownloadComplete");
        EXPECT_EQ(NumberIn((*shot)[1], "capture_id"), NumberIn((*shot)[0], "capture_id"));
        const std::string path = TextIn((*shot)[1], "file_path");
        EXPECT_EQ(path, m_downloads.file(TextIn((*shot)[0], "file_name")));
        const auto jpeg = lbsim::RenderChartJpeg(
            1600, 1064, 0, lbsim::FileSeed(1, shot == &first ? 1 : 2, false), 90);
        EXPECT_TRUE(ReadFile(path) == std::string(jpeg.begin(), jpeg.end()))
            << path << " differs from what the camera sent";
    }
    ExpectOrderlyShutdown(m_session);
}

TEST_F(DownloadOutcomeTest, CameraLostMidTransferIsReportedUnderItsId) {
    start("format=raw raw-bytes=3000000");
    control("fault transfer-lost");
    expectRawShotFails(134);  // the camera is gone
    ExpectOrderlyShutdown(m_session);
}

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
