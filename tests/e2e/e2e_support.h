// Shared by the end-to-end tests: where the built programs are, and a started process.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tools/host_session.h"

inline std::string BuiltProgram(const char* name) {
    return platform::executableDirectory() + "\\" + name;
}

// "shutdown" is answered and the process ends with 0.
inline void ExpectOrderlyShutdown(CHostSession& session) {
    unsigned long code = 1;
    std::string error;
    ASSERT_TRUE(session.shutdown(&code, &error)) << error;
    EXPECT_EQ(code, 0u);
}

// A lensbridge.exe started and connected for one test; reaped by CHostClient's destructor.
class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error)) << error;
    }
    CHostClient& client() { return m_session.client(); }

    void expectOrderlyShutdown() { ExpectOrderlyShutdown(m_session); }

    CHostSession m_session;
};
