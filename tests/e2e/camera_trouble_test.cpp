// Camera trouble through the pipes, as the host lives it: a camera unplugged in live view or
// in a release that never completes, and plugged in again. The process must answer promptly
// after each. (Live view left on by a disconnect is checked natively.)
#include <windows.h>

#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

// A process frozen by a camera took 16 s and more to answer; one that keeps answering does so
// at once (the benchmark measures how fast), so this bound tells the two apart on any machine.
constexpr unsigned kFrozenMs = 8000;

// Camera 0x101 connected.
class CameraTroubleTest : public SimulatedCameraTest {
protected:
    void SetUp() override {
        SimulatedCameraTest::SetUp();
        ListAndConnect(m_session);
    }
    // A release that never completes, started.
    void hangingRelease() {
        control("fault capture-hangs");
        Sleep(1000);  // the heartbeats' Async calls take the fault in
        m_session.client().send("doCapture");
    }
    void liveViewOn() {
        const std::uint32_t id = m_session.client().send("toggleLiveView");
        ASSERT_TRUE(m_session.client().waitForReply(id, 10000));
    }
    // The status of the "isLiveViewOn" reply, or "<frozen>" when none comes in kFrozenMs.
    std::string liveViewStatus() {
        const std::uint32_t id = m_session.client().send("isLiveViewOn");
        auto reply = m_session.client().waitForReply(id, kFrozenMs);
        return reply ? TextIn(*reply, "status") : "<frozen>";
    }
};

TEST_F(CameraTroubleTest, UnplugInLiveViewOrAHungReleaseLeavesTheProcessAnswering) {
    liveViewOn();
    control("unplug 1");
    ASSERT_TRUE(m_session.client().waitFor(IsAbout("deviceRemoved", 0x101), 5000));
    EXPECT_EQ(liveViewStatus(), "liveViewOff");

    // Plugged in again, the camera is back for the host to connect; the announcement of the
    // listing, still waiting, is not the one to wait for.
    m_session.client().takeReceived();
    control("plug 1");
    ASSERT_TRUE(m_session.client().waitFor(IsAbout("deviceAdded", 0x101), 5000));
    std::string error;
    ASSERT_TRUE(m_session.connect(0x101, nullptr, &error)) << error;

    hangingRelease();
    // The release hangs: nothing is announced, and the process cannot answer meanwhile.
    for (const auto& message : m_session.client().collectFor(500))
        ASSERT_NE(message.nameText(), "objectWasAdded");
    control("unplug 1");
    EXPECT_NE(liveViewStatus(), "<frozen>");
    EXPECT_TRUE(m_session.client().waitFor(IsAbout("deviceRemoved", 0x101), 5000));
    ExpectOrderlyShutdown(m_session);
}

TEST_F(CameraTroubleTest, HungReleaseEndsWhenTheHostGoes) {
    hangingRelease();
    Sleep(500);  // the release is under way
    m_session.client().closePipes();
    // The release's wait sees the broken pipe, and the process ends as after any host.
    EXPECT_TRUE(m_session.client().process().waitForExit(5000).has_value());
}

}  // namespace
