// A soak: 200 captures with live view, unplug and replug, and bad input on the pipe mixed in.
// Every file must arrive complete with the bytes the camera sent, none may overwrite another,
// and the process must keep answering throughout and end cleanly.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "sim/sim_content.h"
#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace {

constexpr int kCaptures = 200;
constexpr unsigned kRawBytes = 256 * 1024;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool HasCameraBytes(const std::string& bytes, std::uint32_t captureNumber) {
    if (bytes.size() != kRawBytes) return false;
    std::string expected(kRawBytes, '\0');
    lbsim::FillRaw(lbsim::FileSeed(1, captureNumber, true), 0,
                   reinterpret_cast<unsigned char*>(&expected[0]), kRawBytes);
    return bytes == expected;
}

const ZnLuaTETable* Table(const HostMessage& message) {
    return dynamic_cast<const ZnLuaTETable*>(message.payload.get());
}

std::function<bool(const HostMessage&)> IsAbout(const char* name, double deviceId) {
    return [name, deviceId](const HostMessage& message) {
        const ZnLuaTETable* table = Table(message);
        const ZnLuaTENumber* id = table ? table->getNumberValue("device_id") : nullptr;
        return message.nameText() == name && id && id->value() == deviceId;
    };
}

TEST(Soak, CapturesLiveViewHotplugAndBadInput) {
    const std::string temp = platform::temporaryDirectory();
    const std::string scenario = temp + "lb_soak.scenario";
    const std::string control = temp + "lb_soak.control";
    std::ofstream(scenario, std::ios::trunc)
        << "camera 1 format=raw raw-bytes=" << kRawBytes << " name=D850\n";
    std::ofstream(control, std::ios::trunc);
    SetEnvironmentVariableW(L"LBSIM_SCENARIO", reinterpret_cast<LPCWSTR>(platform::utf8ToUtf16(scenario).c_str()));
    SetEnvironmentVariableW(L"LBSIM_CONTROL", reinterpret_cast<LPCWSTR>(platform::utf8ToUtf16(control).c_str()));

    CHostSession session;
    std::string error;
    ASSERT_TRUE(session.start(BuiltProgram("lensbridge.exe"), 15000, &error)) << error;
    CHostClient& client = session.client();
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
    ASSERT_FALSE(cameras.empty());
    ASSERT_EQ(cameras[0].deviceId, 0x101u) << cameras[0].name;
    std::unique_ptr<ZnLuaTE> settings;
    ASSERT_TRUE(session.connect(0x101, &settings, &error)) << error;

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
            std::ofstream(control, std::ios::app) << "unplug 1\n";
            ASSERT_TRUE(client.waitFor(IsAbout("deviceRemoved", 0x101), 10000)) << "shot " << shot;
            std::ofstream(control, std::ios::app) << "plug 1\n";
            ASSERT_TRUE(client.waitFor(IsAbout("deviceAdded", 0x101), 10000)) << "shot " << shot;
            cameraCaptures = 0;
            ASSERT_TRUE(session.connect(0x101, &settings, &error)) << error;
        }
        client.send("doCapture");
        auto done = client.waitForName("fileDownloadComplete", 20000);
        ASSERT_TRUE(done) << "no file for shot " << shot;
        ++cameraCaptures;
        const ZnLuaTEString* path = Table(*done)->getStringValue("file_path");
        ASSERT_NE(path, nullptr);
        EXPECT_TRUE(paths.insert(path->value()).second) << "path used twice: " << path->value();
        files.push_back({path->value(), cameraCaptures});
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
        if (!HasCameraBytes(ReadFile(file.path), file.captureNumber)) ++wrong;
        std::remove(file.path.c_str());
    }
    EXPECT_EQ(wrong, 0) << "of " << files.size() << " files";
    for (const HostMessage& message : client.takeReceived()) {
        EXPECT_TRUE(message.requestId == 0 || message.nameText() == "ok") << message.nameText();
    }
    ExpectOrderlyShutdown(session);
    SetEnvironmentVariableW(L"LBSIM_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"LBSIM_CONTROL", nullptr);
    std::remove(scenario.c_str());
    std::remove(control.c_str());
}

}  // namespace
