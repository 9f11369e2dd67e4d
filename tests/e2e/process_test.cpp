// The process as the host sees it: the shutdown exchange, requests the process must survive,
// and its claim on the pipes. (A host that goes away: tests/e2e/host_link_test.cpp.)
#include <windows.h>

#include <chrono>
#include <optional>

#include "tests/e2e/e2e_support.h"
#include "values/message_frame.h"

namespace {

// Malformed requests are dropped; "shutdown" is then answered under its id, with no payload,
// and the process ends with 0.
TEST_F(ProcessTest, MalformedRequestsAreDroppedAndShutdownStillEndsTheProcess) {
  // What the decoder refuses is the codec suite's business; here, what only a pipe brings.
  const std::string bad[] = {
      std::string(),                          // zero-length message
      std::string(kMaxMessageSize + 1, 'x'),  // over the size limit
  };
  for (const std::string& bytes : bad)
    ASSERT_TRUE(client().sendRaw(bytes)) << bytes.size() << " bytes";
  // Nothing answers them; the camera side's own notifications (id 0) may come meanwhile.
  for (const HostMessage& message : client().collectFor(500)) EXPECT_EQ(message.requestId, 0u);
  EXPECT_EQ(client().undecodableCount(), 0u);
  auto reply = client().waitForReply(client().send("shutdown"), 10000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->nameText(), "shutdownComplete");
  EXPECT_TRUE(reply->payloadIsNil());
  EXPECT_EQ(client().process().waitForExit(10000), std::optional<unsigned long>(0));
}

// A process that finds the pipes' names taken, as by a previous run still ending, tries for
// about ten seconds: it takes them once they are let go, and otherwise leaves with an error code
// while the one holding them goes on serving its host.
TEST(PipeClaim, TakenPipesAreRetriedForAboutTenSeconds) {
  CScopedKernelHandle held(CreateNamedPipeW(kInputPipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE,
                                            1, 4096, 4096, 0, nullptr));
  ASSERT_TRUE(held.valid()) << "cannot hold the pipe name: " << GetLastError();
  CTestDownloadFolder downloads(CurrentTestName());
  ASSERT_TRUE(downloads.valid());
  CHostSession session;
  std::string error;
  ASSERT_TRUE(
      session.client().start(BuiltProgram("lensbridge.exe"), &error, {}, downloads.environment()))
      << error;
  Sleep(1500);
  ASSERT_TRUE(session.client().process().running()) << "gave up while the name was held";
  held.reset();
  ASSERT_TRUE(session.client().connect(15000, &error)) << error;

  CHostClient second;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(second.start(BuiltProgram("lensbridge.exe"), &error, {}, downloads.environment()))
      << error;
  auto code = second.process().waitForExit(25000);
  ASSERT_TRUE(code) << "the second process still runs";
  EXPECT_NE(*code, 0u);
  EXPECT_NE(*code, CChildProcess::kTerminatedExitCode);
  // A lower bound only: a loaded machine makes the wait longer, never shorter; that it gives
  // up at all is the exit within the wait above.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(9));
  std::vector<CameraInfo> cameras;
  ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
  EXPECT_FALSE(cameras.empty());
  ExpectOrderlyShutdown(session);
}

}  // namespace
