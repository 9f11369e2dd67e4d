// The process as the host sees it: the shutdown exchange, the end when the host goes away,
// and requests the process must survive.
#include <chrono>

#include "tests/e2e/e2e_support.h"
#include "values/message_frame.h"

namespace {

TEST_F(ProcessTest, ShutdownIsAnsweredWithItsIdAndEndsTheProcess) {
    const std::uint32_t id = client().send("shutdown");
    auto reply = client().waitForReply(id, 10000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->nameText(), "shutdownComplete");
    EXPECT_TRUE(reply->payloadIsNil());
    auto code = client().process().waitForExit(10000);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0u);
    EXPECT_FALSE(HostPipeExists(kHostInputPipeName));
}

TEST_F(ProcessTest, HostClosingItsPipesEndsTheProcess) {
    const auto start = std::chrono::steady_clock::now();
    client().closePipes();
    auto code = client().process().waitForExit(10000);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST_F(ProcessTest, MalformedRequestsAreDroppedAndTheProcessGoesOn) {
    std::string deep;
    for (int i = 0; i < 1000; ++i) deep += std::string("\x05\0\0\0\x01\0\0\0\x01\0\0\0", 12);
    const std::string bad[] = {
        std::string(),                                       // zero-length message
        std::string("\x01\x02\x03", 3),                      // shorter than its request id
        std::string("garbage that is no message at all"),
        std::string("\x07\0\0\0\x03\0\0\0\x40\0\0\0ok", 14),  // string cut short
        std::string("\x07\0\0\0\x09\0\0\0", 8),              // unknown top-level tag
        std::string("\x07\0\0\0", 4) + deep,                 // nesting far too deep
        std::string("\x07\0\0\0\x02\0\0\0\0\0\0\0\0\0\xf0\x3f\x01\0\0\0", 20),  // number name
        std::string(kMaxMessageSize + 1, 'x'),               // over the size limit
    };
    for (const std::string& bytes : bad) {
        ASSERT_TRUE(client().sendRaw(bytes)) << bytes.size() << " bytes";
    }
    // An unknown command is ignored too.
    client().send("noSuchCommand");
    // Nothing answers them; the camera side's own notifications (id 0) may come meanwhile.
    for (const HostMessage& message : client().collectFor(500)) EXPECT_EQ(message.requestId, 0u);
    EXPECT_EQ(client().undecodableCount(), 0u);
    expectOrderlyShutdown();
}

TEST_F(ProcessTest, ASecondProcessCannotTakeOverThePipes) {
    if (IsRunningUnderWine()) {
        GTEST_SKIP() << "Wine does not enforce FILE_FLAG_FIRST_PIPE_INSTANCE";
    }
    CHostClient intruder;
    std::string error;
    ASSERT_TRUE(intruder.start(BuiltProgram("lensbridge.exe"), &error)) << error;
    auto code = intruder.process().waitForExit(10000);
    EXPECT_TRUE(code);
    expectOrderlyShutdown();
}

}  // namespace
