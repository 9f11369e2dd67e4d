// A tether session on the simulated cameras, through the pipes as the host drives it:
// cameras found and connected, a setting changed, JPEG and RAW+JPEG shots downloaded into
// files whose bytes are checked, live view, focus, auto-focus, and a camera that is unplugged
// and plugged in again while the process runs.
#include <windows.h>

#include <fstream>
#include <iterator>
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
        ASSERT_TRUE(m_downloads.valid());
        m_control = m_downloads.file("camera.control");
        const std::string scenario = m_downloads.file("cameras.scenario");
        std::ofstream(scenario, std::ios::trunc) << lbsim::kTwoCameraScenario;
        std::ofstream(m_control, std::ios::trunc);
        std::string error;
        ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                                    m_downloads.environment({{"LBSIM_SCENARIO", scenario},
                                                             {"LBSIM_CONTROL", m_control}})))
            << error;
    }
    void control(const std::string& line) {
        std::ofstream(m_control, std::ios::app) << line << "\n";
    }
    void shutdownCleanly() { ExpectOrderlyShutdown(m_session); }

    // Declared before the session, which must end before its folder is removed.
    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
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
    // Downloads land in the temp folder the process was given, under the announced name.
    EXPECT_EQ(files[0].path, m_downloads.file("Capture0001.jpg"));

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
    EXPECT_EQ(files[1].path, m_downloads.file("Capture0002.jpg"));

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
