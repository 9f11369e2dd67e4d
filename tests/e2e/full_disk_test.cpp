// A download onto a full disk, under Wine: run only through the "E2E.FullDisk" test, which
// starts this program (and so the lensbridge.exe it starts) under a file-size limit of 1 MiB
// with the size signal ignored, so that writing a larger file falls short as on a full disk.
#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

using FullDiskTest = SimulatedCameraTest;

// The RAW file is announced and fails, and nothing of it stays in the folder. (The order, the
// error's code and capture id, and that the next shot works, are the camera layer's,
// tests/camera/capture_test.cpp.)
TEST_F(FullDiskTest, WriteThatFallsShortIsReportedAndLeavesNothing) {
  start("camera 1 type=43 exposure=3 format=raw raw-bytes=3000000 name=D850\n");
  ListAndConnect(m_session);
  ASSERT_NE(client().send("doCapture"), 0u);
  ASSERT_TRUE(client().waitForName("error", 30000)) << "the write that fell short";
  EXPECT_TRUE(client().waitForName("objectWasAdded", 0));
  for (const std::string& name : m_downloads.files())
    EXPECT_NE(name.rfind("Capture", 0), 0u) << name << ": no partial file, no .part file";
  ExpectOrderlyShutdown(m_session);
}

}  // namespace
