// A tether session on the simulated cameras, through the pipes as the host drives it:
// cameras found and connected, a setting changed, JPEG and RAW+JPEG shots downloaded into
// files whose bytes are checked, live view, focus and auto-focus. The whole session runs once
// for each habit of real cameras that shapes its downloads.
#include <windows.h>

#include <cctype>
#include <string>

#include "tests/e2e/e2e_support.h"

namespace {

bool IsJpeg(const std::string& bytes) {
    return bytes.size() > 4 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
           static_cast<unsigned char>(bytes[1]) == 0xD8;
}

// Camera 1 with one habit (or none), RAW files small enough to keep the run quick.
class HabitSessionTest : public SimulatedCameraTest, public ::testing::WithParamInterface<const char*> {
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
    EXPECT_TRUE(jpeg == CameraJpeg(1)) << "JPEG bytes differ from what the camera sent";
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
    EXPECT_TRUE(raw == CameraRaw(2, 2000000)) << "RAW bytes differ from what the camera sent";
    EXPECT_EQ(files[1].path, m_downloads.file("Capture0002.jpg"));
    EXPECT_TRUE(ReadFile(files[1].path) == CameraJpeg(2)) << "JPEG bytes differ";
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
    ExpectOrderlyShutdown(m_session);
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

}  // namespace
