// Shared by the end-to-end tests: where the built programs are, and a started process.
#pragma once

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/e2e/test_download_folder.h"
#include "tools/host_session.h"

inline std::string BuiltProgram(const char* name) {
    return platform::executableDirectory() + "\\" + name;
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

    void expectOrderlyShutdown() { ExpectOrderlyShutdown(m_session); }

    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
};

// A lensbridge.exe on the two-camera scenario of the simulated modules, taking control lines
// (plug, unplug, faults, habits) from a file of its own, as a camera in a photographer's hands.
class SimulatedCameraTest : public ::testing::Test {
protected:
    // Starts the process on the two-camera scenario.
    void SetUp() override;
    // Starts the process on the simulated cameras `scenarioText` describes.
    void start(const std::string& scenarioText);
    // Appends a control line; the simulator reads it at its next Async.
    void control(const std::string& line) {
        std::ofstream(m_control, std::ios::app) << line << "\n";
    }
    void shutdownCleanly() { ExpectOrderlyShutdown(m_session); }

    // Declared before the session, which must end before its folder is removed.
    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
    std::string m_control;
};
