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

TEST_F(ProcessTest, ASecondProcessGivesUpOnPipesTheFirstHolds) {
  // The second one tries for about ten seconds, in case the first is ending, then leaves
  // with an error code; the first goes on serving its host.
  CHostClient intruder;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(intruder.start(BuiltProgram("lensbridge.exe"), &error, {}, m_downloads.environment()))
      << error;
  auto code = intruder.process().waitForExit(25000);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(code) << "the second process still runs";
  EXPECT_NE(*code, 0u);
  EXPECT_NE(*code, CChildProcess::kTerminatedExitCode);
  // A lower bound only: a loaded machine makes the wait longer, never shorter; that it gives
  // up at all is the exit within the wait above.
  EXPECT_GE(elapsed, std::chrono::seconds(9));

  const std::uint32_t id = client().send("listDevices");
  ASSERT_TRUE(client().waitForReply(id, 10000)) << "the first process no longer answers";
  ExpectOrderlyShutdown(m_session);
}

TEST(PipeClaim, PipesReleasedWhileTheProcessRetriesAreTaken) {
  // The input pipe's name is held here, as by a previous run that is still ending.
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
  std::vector<CameraInfo> cameras;
  ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
  EXPECT_FALSE(cameras.empty());
  ExpectOrderlyShutdown(session);
}

}  // namespace
