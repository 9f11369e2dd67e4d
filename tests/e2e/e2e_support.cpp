#include "tests/e2e/e2e_support.h"

#include <windows.h>

#include <filesystem>
#include <fstream>

void SimulatedCameraTest::start(const std::string& scenarioText, std::string downloadFolder) {
  ASSERT_TRUE(m_downloads.valid());
  if (downloadFolder.empty()) downloadFolder = m_downloads.path();
  m_control = m_downloads.file("camera.control");
  const std::string scenario = m_downloads.file("cameras.scenario");
  std::ofstream(scenario, std::ios::trunc) << scenarioText;
  std::ofstream(m_control, std::ios::trunc);
  std::string error;
  const std::vector<std::pair<std::string, std::string>> environment = {
      {"TMP", downloadFolder},
      {"TEMP", downloadFolder},
      {"LBSIM_SCENARIO", scenario},
      {"LBSIM_CONTROL", m_control}};
  ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error, environment)) << error;
}

void SimulatedCameraTest::control(const std::string& line) {
  std::ofstream(m_control, std::ios::app) << line << "\n";
  const auto written = static_cast<long>(std::filesystem::file_size(m_control));
  for (const DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(10)) {
    bool read = true;
    for (const char* module : {"Type0001", "Type0023"}) {
      long offset = -1;
      std::ifstream(m_control + "." + module + ".read") >> offset;
      read = read && offset >= written;
    }
    if (read) return;
  }
  ADD_FAILURE() << "the simulated modules did not read \"" << line << "\"";
}
