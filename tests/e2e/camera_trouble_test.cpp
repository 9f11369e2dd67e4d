// Camera trouble through the pipes, as the host lives it: a camera unplugged in live view, a
// release that never completes, live view left on by a disconnect. The process must answer
// promptly after each, and stream nothing nobody asked for.
#include <windows.h>

#include <chrono>
#include <string>

#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

using Clock = std::chrono::steady_clock;

double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Camera 0x101 connected.
class CameraTroubleTest : public SimulatedCameraTest {
protected:
    void SetUp() override {
        SimulatedCameraTest::SetUp();
        std::string error;
        std::vector<CameraInfo> cameras;
        ASSERT_TRUE(m_session.listCameras(&cameras, &error)) << error;
        ASSERT_TRUE(m_session.connect(0x101, nullptr, &error)) << error;
    }
    void liveViewOn() {
        const std::uint32_t id = m_session.client().send("toggleLiveView");
        ASSERT_TRUE(m_session.client().waitForReply(id, 10000));
    }
    // Milliseconds to the "isLiveViewOn" reply, and its status.
    double timedLiveViewStatus(std::string* status) {
        const auto start = Clock::now();
        const std::uint32_t id = m_session.client().send("isLiveViewOn");
        auto reply = m_session.client().waitForReply(id, 30000);
        const double ms = MillisSince(start);
        const auto* table = reply ? dynamic_cast<const ZnLuaTETable*>(reply->payload.get()) : nullptr;
        const ZnLuaTEString* value = table ? table->getStringValue("status") : nullptr;
        *status = value ? value->value() : "<no reply>";
        return ms;
    }
};

TEST_F(CameraTroubleTest, UnplugInLiveViewLeavesTheProcessAnswering) {
    liveViewOn();
    control("unplug 1");
    ASSERT_TRUE(m_session.client().waitForName("deviceRemoved", 5000));
    std::string status;
    EXPECT_LT(timedLiveViewStatus(&status), 1000.0);
    EXPECT_EQ(status, "liveViewOff");
    shutdownCleanly();
}

TEST_F(CameraTroubleTest, HungReleaseEndsWhenTheCameraIsUnplugged) {
    control("fault capture-hangs");
    Sleep(300);  // the heartbeats' Async calls take the fault in
    m_session.client().send("doCapture");
    // The release hangs: nothing is announced, and the process cannot answer meanwhile.
    for (const auto& message : m_session.client().collectFor(500))
        ASSERT_NE(message.nameText(), "objectWasAdded");
    control("unplug 1");
    std::string status;
    EXPECT_LT(timedLiveViewStatus(&status), 2000.0);
    EXPECT_TRUE(m_session.client().waitForName("deviceRemoved", 5000));
    shutdownCleanly();
}

TEST_F(CameraTroubleTest, HungReleaseEndsWhenTheHostGoes) {
    control("fault capture-hangs");
    Sleep(300);  // the heartbeats' Async calls take the fault in
    m_session.client().send("doCapture");
    Sleep(300);
    m_session.client().closePipes();
    // The release's wait sees the broken pipe, and the process ends as after any host.
    EXPECT_TRUE(m_session.client().process().waitForExit(5000).has_value());
}

TEST_F(CameraTroubleTest, DisconnectInLiveViewStopsTheStream) {
    liveViewOn();
    ASSERT_TRUE(m_session.client().waitForName("liveViewImage", 5000));
    ZnLuaTETable device;
    device.setNumber("device_id", 0x101);
    m_session.client().send("disconnectDevice", &device);
    std::string error;
    ASSERT_TRUE(m_session.connect(0x101, nullptr, &error)) << error;
    m_session.client().takeReceived();
    std::string status;
    timedLiveViewStatus(&status);
    EXPECT_EQ(status, "liveViewOff");
    int frames = 0;
    for (const auto& message : m_session.client().collectFor(500))
        if (message.nameText() == "liveViewImage") ++frames;
    EXPECT_EQ(frames, 0);
    shutdownCleanly();
}

}  // namespace
