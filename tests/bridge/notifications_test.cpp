// What the host receives when the camera layer reports through the installed host: the
// capture ids that tie a file's messages together, the error that ends a download, a camera
// gone, and frames that cannot be sent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/notifications.h"
#include "hostlink/outgoing_queue.h"
#include "tests/camera/sim_fixture.h"
#include "values/lua_value.h"

namespace {

using namespace simtest;

class HostNotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override { DiscardOutgoingMessages(); }
  void TearDown() override { DiscardOutgoingMessages(); }

  CHostNotifications host;
};

TEST_F(HostNotificationsTest, EachAnnouncedFileGetsTheNextCaptureIdAndKeepsItToTheEnd) {
  EXPECT_EQ(host.fileAnnounced("Capture0001.nef", 1000, true), 1);
  EXPECT_EQ(host.fileAnnounced("Capture0001.jpg", 200, false), 2);
  host.fileDownloaded(2, "C:\\Temp\\Capture0001.jpg", 15);

  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& message : messages) EXPECT_EQ(message->requestId, 0u);
  EXPECT_EQ(messages[0]->name->getString(), "objectWasAdded");
  EXPECT_EQ(Number(Payload(*messages[0]), "capture_id"), 1);
  EXPECT_EQ(Number(Payload(*messages[0]), "has_sidecar"), 1);
  EXPECT_EQ(Number(Payload(*messages[0]), "file_size"), 1000);
  EXPECT_EQ(Text(Payload(*messages[1]), "file_name"), "Capture0001.jpg");
  EXPECT_EQ(messages[2]->name->getString(), "fileDownloadComplete");
  EXPECT_EQ(Number(Payload(*messages[2]), "capture_id"), 2);
  EXPECT_EQ(Text(Payload(*messages[2]), "file_path"), "C:\\Temp\\Capture0001.jpg");
  EXPECT_EQ(Number(Payload(*messages[2]), "file_download_time"), 15);
}

TEST_F(HostNotificationsTest, FailedDownloadIsAnErrorThatNamesTheFileOnlyOnceAnnounced) {
  const int captureId = host.fileAnnounced("Capture0003.jpg", 200, false);
  host.downloadFailed(-7, "writing the file fell short", captureId);
  host.downloadFailed(-8, "the camera refused the release", 0);

  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 3u);
  const OutgoingMessage& announced = *messages[1];
  EXPECT_EQ(announced.name->getString(), "error");
  EXPECT_EQ(announced.requestId, 0u);
  EXPECT_EQ(Number(Payload(announced), "error_code"), -7);
  EXPECT_EQ(Text(Payload(announced), "error_description"),
            "writing the file fell short");
  EXPECT_EQ(Number(Payload(announced), "capture_id"), captureId);

  const OutgoingMessage& unannounced = *messages[2];
  EXPECT_EQ(unannounced.name->getString(), "error");
  EXPECT_EQ(unannounced.requestId, 0u);
  EXPECT_EQ(Number(Payload(unannounced), "error_code"), -8);
  EXPECT_EQ(Payload(unannounced)->getValue("capture_id"), nullptr);
}

TEST_F(HostNotificationsTest, RemovedCameraIsAnnouncedAndUnsendableFramesAreSkipped) {
  host.deviceRemoved(0x1702);
  host.liveViewFrame(nullptr, 10);  // a frame that claims bytes it does not have is skipped
  host.liveViewFrame("x", -1);

  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->name->getString(), "deviceRemoved");
  EXPECT_EQ(messages[0]->requestId, 0u);
  EXPECT_EQ(Number(Payload(*messages[0]), "device_id"), 0x1702);
}

}  // namespace
