// What the host receives when the camera layer reports through the installed host: the
// capture ids that tie a file's messages together, the error that ends a download, a camera
// gone, and frames that cannot be sent.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/notifications.h"
#include "hostlink/outgoing_queue.h"
#include "values/lua_value.h"

namespace {

class HostNotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override { DiscardOutgoingMessages(); }
  void TearDown() override { DiscardOutgoingMessages(); }

  std::vector<std::unique_ptr<OutgoingMessage>> takeAll() {
    std::vector<std::unique_ptr<OutgoingMessage>> messages;
    while (auto message = TakeOutgoingMessage()) messages.push_back(std::move(message));
    return messages;
  }

  CHostNotifications host;
};

const ZnLuaTETable& Table(const OutgoingMessage& message) {
  return dynamic_cast<const ZnLuaTETable&>(*message.value);
}

TEST_F(HostNotificationsTest, EachAnnouncedFileGetsTheNextCaptureIdAndKeepsItToTheEnd) {
  EXPECT_EQ(host.fileAnnounced("Capture0001.nef", 1000, true), 1);
  EXPECT_EQ(host.fileAnnounced("Capture0001.jpg", 200, false), 2);
  host.fileDownloaded(2, "C:\\Temp\\Capture0001.jpg", 15);

  auto messages = takeAll();
  ASSERT_EQ(messages.size(), 3u);
  for (const auto& message : messages) EXPECT_EQ(message->requestId, 0u);
  EXPECT_EQ(messages[0]->name->getString(), "objectWasAdded");
  EXPECT_EQ(Table(*messages[0]).getNumberValue("capture_id")->value(), 1);
  EXPECT_EQ(Table(*messages[0]).getNumberValue("has_sidecar")->value(), 1);
  EXPECT_EQ(Table(*messages[0]).getNumberValue("file_size")->value(), 1000);
  EXPECT_EQ(Table(*messages[1]).getStringValue("file_name")->value(), "Capture0001.jpg");
  EXPECT_EQ(messages[2]->name->getString(), "fileDownloadComplete");
  EXPECT_EQ(Table(*messages[2]).getNumberValue("capture_id")->value(), 2);
  EXPECT_EQ(Table(*messages[2]).getStringValue("file_path")->value(), "C:\\Temp\\Capture0001.jpg");
  EXPECT_EQ(Table(*messages[2]).getNumberValue("file_download_time")->value(), 15);
}

TEST_F(HostNotificationsTest, FailedDownloadIsAnErrorThatNamesTheFileOnlyOnceAnnounced) {
  const int captureId = host.fileAnnounced("Capture0003.jpg", 200, false);
  host.downloadFailed(-7, "writing the file fell short", captureId);
  host.downloadFailed(-8, "the camera refused the release", 0);

  auto messages = takeAll();
  ASSERT_EQ(messages.size(), 3u);
  const OutgoingMessage& announced = *messages[1];
  EXPECT_EQ(announced.name->getString(), "error");
  EXPECT_EQ(announced.requestId, 0u);
  EXPECT_EQ(Table(announced).getNumberValue("error_code")->value(), -7);
  EXPECT_EQ(Table(announced).getStringValue("error_description")->value(),
            "writing the file fell short");
  ASSERT_NE(Table(announced).getNumberValue("capture_id"), nullptr);
  EXPECT_EQ(Table(announced).getNumberValue("capture_id")->value(), captureId);

  const OutgoingMessage& unannounced = *messages[2];
  EXPECT_EQ(unannounced.name->getString(), "error");
  EXPECT_EQ(unannounced.requestId, 0u);
  EXPECT_EQ(Table(unannounced).getNumberValue("error_code")->value(), -8);
  EXPECT_EQ(Table(unannounced).getValue("capture_id"), nullptr);
}

TEST_F(HostNotificationsTest, RemovedCameraIsAnnouncedAndUnsendableFramesAreSkipped) {
  host.deviceRemoved(0x1702);
  host.liveViewFrame(nullptr, 10);  // a frame that claims bytes it does not have is skipped
  host.liveViewFrame("x", -1);

  auto messages = takeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->name->getString(), "deviceRemoved");
  EXPECT_EQ(messages[0]->requestId, 0u);
  EXPECT_EQ(Table(*messages[0]).getNumberValue("device_id")->value(), 0x1702);
}

}  // namespace
