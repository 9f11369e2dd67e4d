// Shared by the end-to-end tests: where the built programs are, and a started process.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tools/test_download_folder.h"
#include "tools/host_session.h"
#include "values/lua_value.h"

inline std::string BuiltProgram(const char* name) {
    return platform::executableDirectory() + "\\" + name;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The "Temp" folder in the user's local application data, where the process falls back to.
inline std::string LocalTemporaryFolder() {
    return platform::environmentVariable("LOCALAPPDATA") + "\\Temp\\";
}

// The files simulated camera `camera` (1 unless named) makes for its shot `shot`: RAW bytes
// from their seed, and a 1600 x 1064 chart at quality 90 for the JPEG.
std::string CameraRaw(std::uint32_t shot, std::size_t size, std::uint32_t camera = 1);
std::string CameraJpeg(std::uint32_t shot, std::uint32_t camera = 1);

// A number or text of a message's table payload; -12345 or "<absent>" when there is none.
inline double NumberIn(const HostMessage& message, const char* key) {
    const auto* table = dynamic_cast<const ZnLuaTETable*>(message.payload.get());
    const ZnLuaTENumber* number = table ? table->getNumberValue(key) : nullptr;
    return number ? number->value() : -12345;
}
inline std::string TextIn(const HostMessage& message, const char* key) {
    const auto* table = dynamic_cast<const ZnLuaTETable*>(message.payload.get());
    const ZnLuaTEString* text = table ? table->getStringValue(key) : nullptr;
    return text ? text->value() : "<absent>";
}

// Matches the notification `name` about device `deviceId`.
inline std::function<bool(const HostMessage&)> IsAbout(const char* name, double deviceId) {
    return [name, deviceId](const HostMessage& message) {
        return message.nameText() == name && NumberIn(message, "device_id") == deviceId;
    };
}

// The running test's name, for naming what belongs to it (a folder, a file): a parametrised
// test's '/' becomes '_'.
inline std::string CurrentTestName() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "test";
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

// "shutdown" is answered and the process ends with 0.
inline void ExpectOrderlyShutdown(CHostSession& session) {
    unsigned long code = 1;
    std::string error;
    ASSERT_TRUE(session.shutdown(&code, &error)) << error;
    EXPECT_EQ(code, 0u);
}

// Lists the cameras and connects `deviceId`, as a host does before anything else.
inline void ListAndConnect(CHostSession& session, std::uint32_t deviceId = 0x101) {
    std::string error;
    std::vector<CameraInfo> cameras;
    ASSERT_TRUE(session.listCameras(&cameras, &error)) << error;
    ASSERT_TRUE(session.connect(deviceId, nullptr, &error)) << error;
}

// A lensbridge.exe started and connected for one test, with a temp folder of its own;
// reaped by CHostClient's destructor before the folder is removed.
class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_downloads.valid());
        std::string error;
        ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                                    m_downloads.environment()))
            << error;
    }
    CHostClient& client() { return m_session.client(); }

    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
};

// A lensbridge.exe on the two-camera scenario of the simulated modules, taking control lines
// (plug, unplug, faults, habits) from a file of its own, as a camera in a photographer's hands.
class SimulatedCameraTest : public ::testing::Test {
protected:
    // Starts the process on the two-camera scenario.
    void SetUp() override;
    // Starts the process on the simulated cameras `scenarioText` describes, with
    // `downloadFolder` (default: the test's own folder) as its temporary folder.
    void start(const std::string& scenarioText, std::string downloadFolder = "");
    // Appends a control line; the simulator reads it at its next Async.
    void control(const std::string& line) {
        std::ofstream(m_control, std::ios::app) << line << "\n";
    }

    // Declared before the session, which must end before its folder is removed.
    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
    std::string m_control;
};
