// A download onto a full disk, under Wine: run only through the "E2E.FullDisk" test, which
// starts this program (and so the lensbridge.exe it starts) under a file-size limit of 1 MiB
// with the size signal ignored, so that writing a larger file falls short as on a full disk.
#include <string>

#include "tests/e2e/download_outcome_fixture.h"

namespace {

using namespace e2e;

TEST_F(DownloadOutcomeTest, WriteThatFallsShortIsReportedAndLeavesNothing) {
    start("format=raw raw-bytes=3000000");
    ASSERT_NE(m_session.client().send("doCapture"), 0u);
    auto messages = downloads(1);
    SCOPED_TRACE("host was told:\n" + m_report);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].nameText(), "objectWasAdded");
    ASSERT_EQ(messages[1].nameText(), "error");
    EXPECT_EQ(NumberIn(messages[1], "capture_id"), NumberIn(messages[0], "capture_id"));
    EXPECT_EQ(NumberIn(messages[1], "error_code"), -1004);
    EXPECT_EQ(TextIn(messages[1], "error_description").rfind(TextIn(messages[0], "file_name"), 0), 0u);
    EXPECT_EQ(m_downloads.files().size(), 2u) << "no partial file: only the scenario and control";

    // A file that fits is written as ever.
    control("format jpeg 1");
    ASSERT_NE(m_session.client().send("doCapture"), 0u);
    messages = downloads(1);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].nameText(), "fileDownloadComplete");
    ExpectOrderlyShutdown(m_session);
}

}  // namespace
