// What the download tests under Wine share: a lensbridge.exe on one simulated camera, with a
// temporary folder of the test's own, and the download messages ("objectWasAdded",
// "fileDownloadComplete", "error") it sends, with a report of them for failures.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace e2e {

inline bool IsOutcome(const HostMessage& message) {
    return message.nameText() == "fileDownloadComplete" || message.nameText() == "error";
}

// Each test starts its own camera.
class DownloadOutcomeTest : public SimulatedCameraTest {
protected:
    void SetUp() override {}
    // Starts the process on one camera described by `camera` (a scenario line's keys), with
    // `downloadFolder` (default: the test's own folder) as its temporary folder, connected.
    void start(const std::string& camera, std::string downloadFolder = "") {
        SimulatedCameraTest::start("camera 1 type=43 exposure=3 " + camera + " name=D850\n",
                                   std::move(downloadFolder));
        ListAndConnect(m_session);
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

    std::string m_report;  // what the host was told
};

}  // namespace e2e
