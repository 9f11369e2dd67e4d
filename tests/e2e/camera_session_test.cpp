// A tether session on the simulated cameras, through the pipes as the host drives it:
// cameras found and connected, a setting changed, JPEG and RAW+JPEG shots downloaded into
// files whose bytes are checked, live view, focus, auto-focus, and a camera that is unplugged
// and plugged in again while the process runs.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "sim/sim_content.h"
#include "sim/sim_scenarios.h"
#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool IsJpeg(const std::string& bytes) {
    return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8;
}

// The process reads its simulated cameras from a scenario and takes control lines from a file
// both given through its environment.
class CameraSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string temp = platform::temporaryDirectory();
        m_scenario = temp + "lb_e2e.scenario";
        m_control = temp + "lb_e2e.control";
        std::ofstream(m_scenario, std::ios::trunc) << lbsim::kTwoCameraScenario;
        std::ofstream(m_control, std::ios::trunc);
        SetEnvironmentVariableW(L"LBSIM_SCENARIO", reinterpret_cast<LPCWSTR>(platform::utf8ToUtf16(m_scenario).c_str()));
        SetEnvironmentVariableW(L"LBSIM_CONTROL", reinterpret_cast<LPCWSTR>(platform::utf8ToUtf16(m_control).c_str()));
        std::string error;
        ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error)) << error;
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"LBSIM_SCENARIO", nullptr);
        SetEnvironmentVariableW(L"LBSIM_CONTROL", nullptr);
        std::remove(m_scenario.c_str());
        std::remove(m_control.c_str());
    }
    void control(const std::string& line) {
        std::ofstream(m_control, std::ios::app) << line << "\n";
    }
    void shutdownCleanly() { ExpectOrderlyShutdown(m_session); }

    CHostSession m_session;
    std::string m_scenario;
    std::string m_control;
};

TEST_F(CameraSessionTest, WholeSession) {
    std::string error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(m_session.listCameras(&cameras, &error)) << error;
    ASSERT_EQ(cameras.size(), 4u);
    EXPECT_EQ(cameras[0].deviceId, 0x101u);
    EXPECT_EQ(cameras[0].name, "D850");

    std::unique_ptr<ZnLuaTE> settings;
    ASSERT_TRUE(m_session.connect(0x101, &settings, &error)) << error;
    ASSERT_TRUE(m_session.changeSetting("aperture", "f/8", &settings, &error)) << error;
    const auto* table = dynamic_cast<const ZnLuaTETable*>(settings.get());
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->getStringValue("aperture")->value(), "f/8");

    std::vector<DownloadedFile> files;
    ASSERT_TRUE(m_session.capture(&files, 30000, &error)) << error;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].fileName, "Capture0001.jpg");
    const std::string jpeg = ReadFile(files[0].path);
    EXPECT_TRUE(IsJpeg(jpeg));
    EXPECT_EQ(static_cast<long long>(jpeg.size()), files[0].announcedSize);
    std::remove(files[0].path.c_str());

    control("format raw+jpeg 1");
    files.clear();
    ASSERT_TRUE(m_session.capture(&files, 30000, &error)) << error;
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0].fileName, "Capture0002.nef");
    EXPECT_TRUE(files[0].hasSidecar && files[1].hasSidecar);
    const std::string raw = ReadFile(files[0].path);
    ASSERT_EQ(static_cast<long long>(raw.size()), files[0].announcedSize);
    bool same = true;
    const std::uint64_t seed = lbsim::FileSeed(1, 2, true);
    for (std::size_t i = 0; i < raw.size() && same; i += 4093)
        same = static_cast<unsigned char>(raw[i]) == lbsim::RawByte(seed, i);
    EXPECT_TRUE(same) << "RAW bytes differ from what the camera sent";
    for (const auto& file : files) std::remove(file.path.c_str());

    std::vector<LiveViewFrame> frames;
    ASSERT_TRUE(m_session.liveView(1500, &frames, &error)) << error;
    EXPECT_GE(frames.size(), 5u);
    for (const auto& frame : frames) EXPECT_TRUE(IsJpeg(frame.jpeg));
    bool on = true;
    ASSERT_TRUE(m_session.liveViewStatus(&on, &error)) << error;
    EXPECT_FALSE(on);

    ASSERT_TRUE(m_session.focus(2, &error)) << error;
    bool wasOn = true;
    ASSERT_TRUE(m_session.toggleAutoFocus(&wasOn, &error)) << error;
    EXPECT_FALSE(wasOn);
    ASSERT_TRUE(m_session.toggleAutoFocus(&wasOn, &error)) << error;
    EXPECT_TRUE(wasOn);
    shutdownCleanly();
}

TEST_F(CameraSessionTest, RequestsForCamerasNotConnectedAreAnsweredWithErrors) {
    std::string error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(m_session.listCameras(&cameras, &error)) << error;
    auto request = [&](const char* name, double deviceId) {
        ZnLuaTETable params;
        params.setNumber("device_id", deviceId);
        const std::uint32_t id = m_session.client().send(name, &params);
        return m_session.client().waitForReply(id, 5000);
    };
    auto description = [](const std::optional<HostMessage>& reply) {
        const auto* table = reply ? dynamic_cast<const ZnLuaTETable*>(reply->payload.get()) : nullptr;
        const ZnLuaTEString* text = table ? table->getStringValue("error_description") : nullptr;
        return text ? text->value() : std::string("<none>");
    };
    EXPECT_EQ(description(request("getCameraSettings", 0x101)), "Module specified was not connected");
    auto refused = request("connectDevice", 0x109);  // no camera 9 on the module
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->nameText(), "error");
    EXPECT_EQ(dynamic_cast<const ZnLuaTETable*>(refused->payload.get())->getNumberValue("error_code")->value(), -1);
    std::unique_ptr<ZnLuaTE> settings;
    ASSERT_TRUE(m_session.connect(0x101, &settings, &error)) << error;
    EXPECT_EQ(description(request("getCameraSettings", 0x102)), "Camera specified was not connected");
    ZnLuaTETable disconnect;
    disconnect.setNumber("device_id", 0x101);
    m_session.client().send("disconnectDevice", &disconnect);  // no reply
    EXPECT_EQ(description(request("getCameraSettings", 0x101)), "No camera is connected");
    shutdownCleanly();
}

TEST_F(CameraSessionTest, UnpluggedCameraIsReportedGoneAndBack) {
    std::string error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(m_session.listCameras(&cameras, &error)) << error;
    m_session.takeLog();

    auto waitFor = [&](const char* name, double deviceId) {
        for (int i = 0; i < 30; ++i) {
            for (auto& message : m_session.client().collectFor(100)) {
                const auto* payload = dynamic_cast<const ZnLuaTETable*>(message.payload.get());
                const ZnLuaTENumber* id = payload ? payload->getNumberValue("device_id") : nullptr;
                if (message.nameText() == name && id && id->value() == deviceId) return true;
            }
        }
        return false;
    };
    control("unplug 2");
    EXPECT_TRUE(waitFor("deviceRemoved", 0x102));
    control("plug 2");
    EXPECT_TRUE(waitFor("deviceAdded", 0x102));
    shutdownCleanly();
}

}  // namespace
