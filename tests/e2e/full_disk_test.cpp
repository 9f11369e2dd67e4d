// A download onto a full disk, under Wine: run only through the "E2E.FullDisk" test, which
// starts this program (and so the lensbridge.exe it starts) under a file-size limit of 1 MiB
// with the size signal ignored, so that writing a larger file falls short as on a full disk.
#include <string>

#include "tests/e2e/download_outcome_fixture.h"

namespace {

using namespace e2e;

TEST_F(DownloadOutcomeTest, WriteThatFallsShortIsReportedAndLeavesNothing) {
    start("format=raw raw-bytes=3000000");
    expectRawShotFails(-1004);

    // A file that fits is written as ever.
    control("format jpeg 1");
    ASSERT_NE(m_session.client().send("doCapture"), 0u);
    auto messages = downloads(1);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].nameText(), "fileDownloadComplete");
    ExpectOrderlyShutdown(m_session);
}

}  // namespace
