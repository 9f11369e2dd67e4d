// Shared by the end-to-end tests: where the built programs are, and a started process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/test_support.h"
#include "tests/support/test_download_folder.h"
#include "lbhost/client/host_session.h"
#include "tests/support/wine_probe.h"
#include "values/lua_value.h"

inline std::string BuiltProgram(const char* name) {
  return platform::executableDirectory() + "\\" + name;
}

// The whole file (empty when it cannot be read), through the wide API, which takes a path past
// MAX_PATH too.
inline std::string ReadFile(const std::string& path) {
  std::string bytes;
  if (std::FILE* file = _wfopen(platform::utf8ToWide(path).c_str(), L"rb")) {
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
      bytes.append(buffer, n);
    std::fclose(file);
  }
  return bytes;
}

// The "Temp" folder in the user's local application data, where the process falls back to.
inline std::string LocalTemporaryFolder() {
  return platform::environmentVariable("LOCALAPPDATA") + "\\Temp\\";
}

// A number of a message's table payload; -12345 when there is none.
inline double NumberIn(const HostMessage& message, const char* key) {
  return Number(message.payload.get(), key);
}

// `text` holds `part`; either way the message shows the whole text, for EXPECT_TRUE and EXPECT_FALSE alike.
inline ::testing::AssertionResult Has(const std::string& text, const std::string& part) {
  return (text.find(part) != std::string::npos ? ::testing::AssertionSuccess()
                                               : ::testing::AssertionFailure())
         << "\"" << part << "\" in: " << text;
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
    ASSERT_TRUE(
        m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error, m_downloads.environment()))
        << error;
  }
  CHostClient& client() { return m_session.client(); }

  CTestDownloadFolder m_downloads{CurrentTestName()};
  CHostSession m_session;
};

// A lensbridge.exe on the simulated modules, started by the test on the cameras it describes, taking
// control lines (plug, unplug, faults, habits) from a file of its own, as a camera in a photographer's hands.
class SimulatedCameraTest : public ::testing::Test {
 protected:
  // Starts the process on the simulated cameras `scenarioText` describes, with
  // `downloadFolder` (default: the test's own folder) as its temporary folder.
  void start(const std::string& scenarioText, std::string downloadFolder = "");
  // Appends a control line and waits until every simulated module has read it (their receipts
  // beside the control file say how far), so it is in force when this returns.
  void control(const std::string& line);
  CHostClient& client() { return m_session.client(); }

  // Declared before the session, which must end before its folder is removed.
  CTestDownloadFolder m_downloads{CurrentTestName()};
  CHostSession m_session;
  std::string m_control;
};
