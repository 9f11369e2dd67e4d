// What the download tests under Wine share: a lensbridge.exe on one simulated camera, with a
// temporary folder of the test's own, and the download messages ("objectWasAdded",
// "fileDownloadComplete", "error") it sends, with a report of them for failures.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "values/lua_value.h"

namespace e2e {

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

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

inline bool IsOutcome(const HostMessage& message) {
    return message.nameText() == "fileDownloadComplete" || message.nameText() == "error";
}

class DownloadOutcomeTest : public ::testing::Test {
protected:
    // Starts the process on one camera described by `camera` (a scenario line's keys), with
    // `downloadFolder` (default: the test's own folder) as its temporary folder.
    void start(const std::string& camera, std::string downloadFolder = "") {
        ASSERT_TRUE(m_downloads.valid());
        if (downloadFolder.empty()) downloadFolder = m_downloads.path();
        m_control = m_downloads.file("camera.control");
        const std::string scenario = m_downloads.file("cameras.scenario");
        std::ofstream(scenario, std::ios::trunc) << "camera 1 type=43 exposure=3 " << camera
                                                 << " name=D850\n";
        std::ofstream(m_control, std::ios::trunc);
        std::string error;
        ASSERT_TRUE(m_session.start(BuiltProgram("lensbridge.exe"), 15000, &error,
                                    {{"TMP", downloadFolder},
                                     {"TEMP", downloadFolder},
                                     {"LBSIM_SCENARIO", scenario},
                                     {"LBSIM_CONTROL", m_control}}))
            << error;
        std::vector<CameraInfo> cameras;
        ASSERT_TRUE(m_session.listCameras(&cameras, &error)) << error;
        std::unique_ptr<ZnLuaTE> settings;
        ASSERT_TRUE(m_session.connect(0x101, &settings, &error)) << error;
    }
    void control(const std::string& line) {
        std::ofstream(m_control, std::ios::app) << line << "\n";
    }

    // The download messages until `outcomes` files have their outcome ("fileDownloadComplete"
    // or "error"), or 30 s pass; a description of them for failure reports.
    std::vector<HostMessage> downloads(std::size_t outcomes) {
        std::vector<HostMessage> found;
        std::size_t seen = 0;
        auto keep = [&](HostMessage message) {
            const std::string name = message.nameText();
            if (name != "objectWasAdded" && !IsOutcome(message)) return;
            m_report += "  " + name + " capture_id=" + std::to_string(NumberIn(message, "capture_id")) +
                        " " + TextIn(message, "file_name") + TextIn(message, "file_path") + " " +
                        TextIn(message, "error_description") + "\n";
            if (IsOutcome(message)) ++seen;
            found.push_back(std::move(message));
        };
        for (auto& message : m_session.takeLog()) keep(std::move(message));
        const DWORD start = GetTickCount();
        while (seen < outcomes && GetTickCount() - start < 30000) {
            for (auto& message : m_session.client().collectFor(100)) keep(std::move(message));
        }
        return found;
    }

    // One RAW shot whose file is announced and then fails with `errorCode`, under its id and
    // naming it, leaving nothing but the scenario and control files in the folder.
    void expectRawShotFails(double errorCode) {
        ASSERT_NE(m_session.client().send("doCapture"), 0u);
        auto messages = downloads(1);
        SCOPED_TRACE("host was told:\n" + m_report);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].nameText(), "objectWasAdded");
        ASSERT_EQ(messages[1].nameText(), "error");
        EXPECT_EQ(NumberIn(messages[1], "capture_id"), NumberIn(messages[0], "capture_id"));
        EXPECT_EQ(NumberIn(messages[1], "error_code"), errorCode);
        const std::string description = TextIn(messages[1], "error_description");
        EXPECT_EQ(description.rfind(TextIn(messages[0], "file_name") + ": ", 0), 0u) << description;
        EXPECT_EQ(m_downloads.files().size(), 2u) << "no partial file, no .part file";
    }

    CTestDownloadFolder m_downloads{CurrentTestName()};
    CHostSession m_session;
    std::string m_control;
    std::string m_report;  // what the host was told
};

}  // namespace e2e
