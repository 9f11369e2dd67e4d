// A tether session on the simulated cameras, through the pipes as the host drives it:
// cameras found and connected, a setting changed, JPEG and RAW+JPEG shots downloaded into
// files whose bytes are checked, live view, focus, auto-focus, and a camera that is unplugged
// and plugged in again while the process runs. The whole session runs once for each habit of
// real cameras that shapes its downloads.
#include <windows.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "sim/sim_content.h"
#include "sim/sim_picture.h"
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

// The files the simulated camera makes for its shot `shot`: RAW bytes from their seed, and a
// 1600 x 1064 chart at quality 90 for the JPEG.
bool IsCameraRaw(const std::string& bytes, std::uint32_t shot, std::size_t size) {
    std::string expected(size, '\0');
    lbsim::FillRaw(lbsim::FileSeed(1, shot, true), 0,
                   reinterpret_cast<unsigned char*>(&expected[0]), size);
    return bytes == expected;
}
bool IsCameraJpeg(const std::string& bytes, std::uint32_t shot) {
    const auto jpeg = lbsim::RenderChartJpeg(1600, 1064, 0, lbsim::FileSeed(1, shot, false), 90);
    return bytes == std::string(jpeg.begin(), jpeg.end());
}

// The process reads its simulated cameras from a scenario and takes control lines from a file
// both given through its environment.
using CameraSessionTest = SimulatedCameraTest;

// Camera 1 with one habit (or none), RAW files small enough to keep the run quick.
class HabitSessionTest : public CameraSessionTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        const std::string habit = GetParam();
        start("camera 1 type=43 exposure=3 raw-bytes=2000000 " +
              (habit.empty() ? std::string() : "habits=" + habit + " ") + "name=D850\n" +
              "camera 2 type=44 exposure=1 iso-auto=1 name=Z 7\n");
    }
};

TEST_P(HabitSessionTest, WholeSession) {
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
    EXPECT_TRUE(IsCameraJpeg(jpeg, 1)) << "JPEG bytes differ from what the camera sent";
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
    EXPECT_TRUE(IsCameraRaw(raw, 2, 2000000)) << "RAW bytes differ from what the camera sent";
    EXPECT_EQ(files[1].path, m_downloads.file("Capture0002.jpg"));
    EXPECT_TRUE(IsCameraJpeg(ReadFile(files[1].path), 2)) << "JPEG bytes differ";
    // Only whole files under their final names: no ".part" file is left.
    EXPECT_EQ(m_downloads.files().size(), 5u) << "scenario, control and three pictures";

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

INSTANTIATE_TEST_SUITE_P(Habits, HabitSessionTest,
                         ::testing::Values("", "ragged-blocks", "nested-items", "late-items",
                                           "ragged-blocks,slow-link"),
                         [](const auto& info) {
                             std::string name = *info.param ? info.param : "none";
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

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
