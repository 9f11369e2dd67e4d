// A soak: 200 captures with live view, unplug and replug, and bad input on the pipe mixed in.
// Every file must arrive complete with the bytes the camera sent, none may overwrite another,
// and the process must keep answering throughout and end cleanly.
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

constexpr int kCaptures = 200;
constexpr unsigned kRawBytes = 256 * 1024;

// Camera 1 alone, taking RAW files.
class Soak : public SimulatedCameraTest {
protected:
    void SetUp() override { start("camera 1 format=raw raw-bytes=" + std::to_string(kRawBytes) + " name=D850\n"); }
};

TEST_F(Soak, CapturesLiveViewHotplugAndBadInput) {
    CHostSession& session = m_session;
    CHostClient& client = session.client();
    ListAndConnect(session);
    std::string error;

    struct File {
        std::string path;
        std::uint32_t captureNumber;
    };
    std::vector<File> files;
    std::set<std::string> paths;
    std::uint32_t cameraCaptures = 0;  // the camera's own count, which restarts on replug
    double memoryAfterWarmUpMb = 0;
    for (int shot = 1; shot <= kCaptures; ++shot) {
        if (shot == 20) memoryAfterWarmUpMb = WineResidentMegabytes("lensbridge.exe");
        if (shot % 10 == 0) {
            // Garbage and a cut-short request between commands; neither may be answered.
            ASSERT_TRUE(client.sendRaw("not a message"));
            ASSERT_TRUE(client.sendRaw(std::string("\x07\0\0\0\x03\0\0\0\x40\0\0\0ok", 14)));
        }
        if (shot % 40 == 0) {
            std::vector<LiveViewFrame> frames;
            ASSERT_TRUE(session.liveView(300, &frames, &error)) << error;
            EXPECT_FALSE(frames.empty()) << "shot " << shot;
        }
        if (shot % 50 == 25) {
            // Both simulated modules read the control file; only camera 0x101 matters here.
            // Announcements still waiting from earlier are not the ones to wait for.
            client.takeReceived();
            control("unplug 1");
            ASSERT_TRUE(client.waitFor(IsAbout("deviceRemoved", 0x101), 10000)) << "shot " << shot;
            control("plug 1");
            ASSERT_TRUE(client.waitFor(IsAbout("deviceAdded", 0x101), 10000)) << "shot " << shot;
            cameraCaptures = 0;
            ASSERT_TRUE(session.connect(0x101, nullptr, &error)) << error;
        }
        client.send("doCapture");
        auto done = client.waitForName("fileDownloadComplete", 20000);
        ASSERT_TRUE(done) << "no file for shot " << shot;
        ++cameraCaptures;
        const std::string path = TextIn(*done, "file_path");
        EXPECT_TRUE(paths.insert(path).second) << "path used twice: " << path;
        files.push_back({path, cameraCaptures});
    }
    // Memory stays flat: 180 more captures, live view and replugs add no more than a few
    // buffers' worth (a RAW buffer here is a quarter of a megabyte).
    const double memoryAtEndMb = WineResidentMegabytes("lensbridge.exe");
    std::printf("soak: resident memory %.1f MB after 20 shots, %.1f MB after %d\n",
                memoryAfterWarmUpMb, memoryAtEndMb, kCaptures);
    if (memoryAfterWarmUpMb > 0 && memoryAtEndMb > 0) {
        EXPECT_LT(memoryAtEndMb - memoryAfterWarmUpMb, 8.0)
            << memoryAfterWarmUpMb << " MB after 20 shots, " << memoryAtEndMb << " MB at the end";
    }
    // Every file is still there with its own bytes: nothing was overwritten on the way.
    int wrong = 0;
    for (const File& file : files) {
        if (ReadFile(file.path) != CameraRaw(file.captureNumber, kRawBytes)) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "of " << files.size() << " files";
    for (const HostMessage& message : client.takeReceived()) {
        EXPECT_TRUE(message.requestId == 0 || message.nameText() == "ok") << message.nameText();
    }
    ExpectOrderlyShutdown(session);
}

}  // namespace
