#include "tests/e2e/e2e_support.h"

#include "sim/sim_scenarios.h"

void SimulatedCameraTest::SetUp() { start(lbsim::kTwoCameraScenario); }

void SimulatedCameraTest::start(const std::string& scenarioText) {
    ASSERT_TRUE(m_downloads.valid());
    m_control = m_downloads.file("camera.control");
    const std::string scenario = m_downloads.file("cameras.scenario");
    std::ofstream(scenario, std::ios::trunc) << scenarioText;
    std::ofstream(m_control, std::ios::trunc);
    std::string error;
    ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                                m_downloads.environment({{"LBSIM_SCENARIO", scenario},
                                                         {"LBSIM_CONTROL", m_control}})))
        << error;
}
