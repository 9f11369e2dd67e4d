// What the host receives: the messages the camera layer reports through the installed host,
// and the host's requests as the bytes of a pipe message through the path the transport takes
// (decoding, the dispatcher's match by name, the commands on the simulated cameras) with what
// comes back as the bytes the transport writes: the names, request ids and payload keys the
// host reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/camera_commands.h"
#include "bridge/dispatcher.h"
#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/download_directory.h"
#include "camera/maid/maid.h"
#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "tests/camera/sim_fixture.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

const ZnLuaTETable* Table(const DecodedMessage& message) {
  return dynamic_cast<const ZnLuaTETable*>(message.payload.get());
}

// "name #id" of each message, in order, for a sequence checked at a glance.
std::string Names(const std::vector<DecodedMessage>& messages) {
  std::string names;
  for (const auto& message : messages) {
    names += (names.empty() ? "" : ", ") + message.name->getString() + " #" +
             std::to_string(message.requestId);
  }
  return names;
}

// A message as "name #id key=value ..." with the payload's keys in table order.
std::string Describe(const ZnLuaTE& name, std::uint32_t id, const ZnLuaTE* payload) {
  std::ostringstream out;
  out << name.getString() << " #" << id;
  if (const auto* table = dynamic_cast<const ZnLuaTETable*>(payload)) {
    for (const auto& entry : *table) {
      out << " " << entry.first->getString() << "=";
      if (entry.second->type == kZnLuaNumber) out << entry.second->getNumber();
      else out << entry.second->getString();
    }
  }
  return out.str();
}

TEST(HostNotifications, FilesKeepTheirCaptureIdAndErrorsNameOnlyAnnouncedOnes) {
  DiscardOutgoingMessages();
  CHostNotifications host;
  EXPECT_EQ(host.fileAnnounced("Capture0001.nef", 1000, true), 1);
  EXPECT_EQ(host.fileAnnounced("Capture0001.jpg", 200, false), 2);
  host.fileDownloaded(2, "C:\\Temp\\Capture0001.jpg", 15);
  host.downloadFailed(-7, "writing the file fell short", 2);
  host.downloadFailed(-8, "the camera refused the release", 0);
  host.deviceAdded(0x1701, "Z 7");
  host.deviceRemoved(0x1702);
  host.liveViewFrame(nullptr, 10);  // a frame that claims bytes it does not have is skipped
  host.liveViewFrame("x", -1);
  std::string messages;
  for (const auto& message : TakeAll())
    messages += Describe(*message->name, message->requestId, message->value.get()) + "\n";
  EXPECT_EQ(messages,
            "objectWasAdded #0 capture_id=1 file_name=Capture0001.nef file_size=1000 has_sidecar=1\n"
            "objectWasAdded #0 capture_id=2 file_name=Capture0001.jpg file_size=200 has_sidecar=0\n"
            "fileDownloadComplete #0 capture_id=2 file_download_time=15 "
            "file_path=C:\\Temp\\Capture0001.jpg\n"
            "error #0 capture_id=2 error_code=-7 error_description=writing the file fell short\n"
            "error #0 error_code=-8 error_description=the camera refused the release\n"
            "deviceAdded #0 device_id=5889 name=Z 7\n"
            "deviceRemoved #0 device_id=5890\n");
}

// The two simulated modules with a download folder of the test's own.
class RequestPathTest : public SimFixture {
 protected:
  void SetUp() override {
    SimFixture::SetUp();
    m_folder = PrivateTempPath("lb_request_path_test");
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
    g_downloadDirectory = m_folder.string() + "/";
  }
  void TearDown() override {
    SetHeartbeatStopHook(nullptr);
    SimFixture::TearDown();
    fs::remove_all(m_folder);
  }

  // One request as the host writes it; returns 1 when it ended the session.
  int request(std::uint32_t id, const std::string& name, const ZnLuaTE* params = nullptr) {
    const ZnLuaTEString nameValue(name);
    const std::string bytes = EncodeMessageFrame(id, &nameValue, params);
    return HandleHostRequest(bytes.data(), bytes.size(), DispatchHostMessage);
  }
  int request(std::uint32_t id, const std::string& name, double deviceId) {
    return request(id, name, DeviceParams(deviceId).get());
  }

  // Every queued message as the host decodes it from the bytes the transport writes.
  std::vector<DecodedMessage> received() {
    std::vector<DecodedMessage> messages;
    while (auto message = TakeOutgoingMessage()) {
      std::string frame;
      EXPECT_TRUE(EncodeMessageForHost(*message, frame));
      messages.push_back(DecodeMessageFrame(frame.data(), frame.size()));
    }
    return messages;
  }

  // The one reply to request `id`, named `name`; notifications before it are dropped.
  DecodedMessage reply(std::uint32_t id, const char* name) {
    DecodedMessage found;
    int replies = 0;
    for (auto& message : received()) {
      if (message.requestId == 0) continue;
      ++replies;
      EXPECT_EQ(message.requestId, id);
      EXPECT_EQ(message.name->getString(), name) << "reply to #" << id;
      found = std::move(message);
    }
    EXPECT_EQ(replies, 1) << "replies to #" << id;
    return found;
  }

  std::string status(std::uint32_t id, const char* command) {
    EXPECT_EQ(request(id, command), 0);
    return Text(Table(reply(id, "ok")), "status");
  }

  fs::path m_folder;
};

TEST_F(RequestPathTest, EveryCommandAnswersByItsNameWithTheKeysTheHostReads) {
  EXPECT_EQ(request(1, "listDevices"), 0);
  const DecodedMessage list = reply(1, "ok");
  const ZnLuaTETable* devices = Table(list) ? Table(list)->getTable("devices") : nullptr;
  ASSERT_NE(devices, nullptr);
  ASSERT_EQ(devices->count(), 4u);
  EXPECT_EQ(Describe(ZnLuaTEString("first"), 0, devices->begin()->second),
            "first #0 device_id=257 name=D850");

  // The last camera of the last module loaded; then one that shares its module, and one that
  // shares its camera id: each is another camera, connected in its turn.
  for (double deviceId : {0x1702, 0x1701, 0x101}) {
    EXPECT_EQ(request(2, "connectDevice", deviceId), 0);
    reply(2, "ok");
    EXPECT_EQ(request(3, "getCameraSettings", deviceId), 0);
    EXPECT_NE(Text(Table(reply(3, "ok")), "aperture"), "<absent>") << deviceId;
  }
  auto refusal = [&](std::uint32_t id, double deviceId) {
    EXPECT_EQ(request(id, "getCameraSettings", deviceId), 0);
    const DecodedMessage error = reply(id, "error");
    return Describe(*error.name, error.requestId, error.payload.get());
  };
  const std::string refused = "error #4 error_code=65535 error_description=";
  EXPECT_EQ(refusal(4, 0x1701), refused + "Module specified was not connected");
  EXPECT_EQ(refusal(4, 0x102), refused + "Camera specified was not connected");
  // A setting changed to another of its entries; the answer shows the new one.
  EXPECT_EQ(request(5, "getCameraSettings", 0x101), 0);
  const DecodedMessage settings = reply(5, "ok");
  const ZnLuaTETable* entries = Table(settings) ? Table(settings)->getTable("apertureEntries")
                                                : nullptr;
  ASSERT_NE(entries, nullptr);
  ASSERT_GE(entries->count(), 2u);
  const auto other = std::find_if(entries->begin(), entries->end(), [&](const auto& entry) {
    return entry.second->getString() != Text(Table(settings), "aperture");
  });
  ASSERT_NE(other, entries->end());
  ZnLuaTETable change;
  change.setNumber("device_id", 0x101);
  change.setString("param_key", "apertureValue");
  change.setNumber("param_value", other->first->getNumber());
  EXPECT_EQ(request(6, "updateCameraSetting", &change), 0);
  EXPECT_EQ(Text(Table(reply(6, "ok")), "aperture"), other->second->getString());

  ZnLuaTETable focus;
  focus.setNumber("focus_direction", -2);
  EXPECT_EQ(request(7, "setCameraFocus", &focus), 0);
  EXPECT_TRUE(received().empty());
  maid::MaidRange step{};
  module1()->m_currentCamera->capGet(kNkMAIDCapability_MFDriveStep, kNkMAIDDataType_RangePtr, &step);
  EXPECT_EQ(step.lfValue, 1000.0) << "the lens was not driven two steps";
  EXPECT_EQ(status(8, "doAutoFocus"), "AutoFocusOff");
  EXPECT_EQ(status(9, "doAutoFocus"), "AutoFocusOn");

  // Live view: its status, and a frame with the picture and its size.
  EXPECT_EQ(status(10, "isLiveViewOn"), "liveViewOff");
  EXPECT_EQ(request(11, "toggleLiveView"), 0);
  EXPECT_EQ(Names(received()), "cameraSettingsChanged #0, ok #11");  // settings beside the picture
  EXPECT_EQ(status(12, "isLiveViewOn"), "liveViewOn");
  manager->pumpIdle();
  std::vector<DecodedMessage> frames;  // the tick may send fresh settings beside the frame
  for (auto& message : received()) {
    if (message.name->getString() == "liveViewImage") frames.push_back(std::move(message));
  }
  ASSERT_EQ(frames.size(), 1u);
  const auto* image = dynamic_cast<const ZnLuaTEData*>(Table(frames[0])->getValue("image"));
  ASSERT_TRUE(image && image->size() > 2);
  EXPECT_EQ(image->bytes()[0] * 256 + image->bytes()[1], 0xFFD8);  // a JPEG
  EXPECT_EQ(Describe(*frames[0].name, frames[0].requestId, frames[0].payload.get()),
            "liveViewImage #0 image= size=" + std::to_string(image->size()));
  EXPECT_EQ(request(13, "toggleLiveView"), 0);
  reply(13, "ok");
  EXPECT_EQ(status(14, "isLiveViewOn"), "liveViewOff");

  // The first file of the session is capture 1, from its announcement to its completion.
  EXPECT_EQ(request(15, "doCapture"), 0);
  auto messages = received();
  ASSERT_EQ(Names(messages), "objectWasAdded #0, fileDownloadComplete #0");
  EXPECT_EQ(Number(Table(messages[0]), "capture_id"), 1);
  EXPECT_EQ(Number(Table(messages[1]), "capture_id"), 1);
  const std::string path = Text(Table(messages[1]), "file_path");
  EXPECT_EQ(path, g_downloadDirectory + Text(Table(messages[0]), "file_name"));
  EXPECT_EQ(static_cast<double>(fs::file_size(path)), Number(Table(messages[0]), "file_size"));

  // Commands the process takes without an answer, and then no camera at all.
  for (const char* quiet : {"getDeviceInfo", "downloadThumbnail", "getCaptureInfo", "startDownload"})
    EXPECT_EQ(request(16, quiet, 0x101), 0) << quiet;
  EXPECT_EQ(request(17, "disconnectDevice", 0x101), 0);
  EXPECT_EQ(request(17, "disconnectDevice", 0x101), 0);  // nothing left to disconnect
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(refusal(18, 0x101),
            "error #18 error_code=65535 error_description=No camera is connected");
}

int g_heartbeatStops = 0;
bool g_camerasAliveAtStop = false;
void CountHeartbeatStop() {
  ++g_heartbeatStops;
  g_camerasAliveAtStop = CNikonModuleManager::existingInstance() != nullptr;
}

TEST_F(RequestPathTest, ShutdownEndsItsOwnRequestOnlyAfterStoppingTheHeartbeat) {
  g_heartbeatStops = 0;
  SetHeartbeatStopHook(&CountHeartbeatStop);
  EXPECT_EQ(request(1, "listDevices"), 0);
  EXPECT_EQ(request(2, "connectDevice", 0x101), 0);
  received();
  EXPECT_EQ(request(3, "shutdown"), 1);
  EXPECT_EQ(g_heartbeatStops, 1);
  EXPECT_TRUE(g_camerasAliveAtStop) << "the heartbeat must stop before the cameras go";
  EXPECT_EQ(CNikonModuleManager::existingInstance(), nullptr);
  EXPECT_TRUE(received().empty());
  // The request after it is an ordinary one again.
  EXPECT_EQ(request(4, "listDevices"), 0);
  EXPECT_EQ(reply(4, "ok").name->getString(), "ok");
  manager = nullptr;
}

TEST_F(RequestPathTest, OnlyTheWholeNameOfACommandRunsIt) {
  EXPECT_EQ(request(2, "listDevices"), 0);
  received();
  EXPECT_EQ(request(1, "connectDevice", 0x101), 0);  // the first request id is as good as any
  EXPECT_EQ(reply(1, "ok").requestId, 1u);
  EXPECT_EQ(status(3, "isLiveViewOn"), "liveViewOff");
  for (const char* nearMiss : {"isLiveViewOn ", "isLiveViewO", "islivevieWon", "IsLiveViewOn", ""})
    EXPECT_EQ(request(4, nearMiss), 0) << nearMiss;
  EXPECT_TRUE(received().empty());
  EXPECT_EQ(request(5, "shutdow"), 0);
  EXPECT_EQ(request(5, "shutdown2"), 0);
  EXPECT_NE(CNikonModuleManager::existingInstance(), nullptr);

  // A name that is no string runs nothing; nor does a request that does not decode.
  const ZnLuaTENumber number(1);
  const std::string numberName = EncodeMessageFrame(6, &number, nullptr);
  EXPECT_EQ(HandleHostRequest(numberName.data(), numberName.size(), DispatchHostMessage), 0);
  const std::string cut = EncodeMessageFrame(7, &number, nullptr).substr(0, 9);
  EXPECT_EQ(HandleHostRequest(cut.data(), cut.size(), DispatchHostMessage), 0);
  EXPECT_TRUE(received().empty());
}

TEST(DeviceIdFromParams, TruncatesWithinThe32BitRangeAndIsZeroOtherwise) {
  const struct { double value; int id; } cases[] = {
      {0x1702, 0x1702}, {257.9, 257}, {-257.9, -257}, {2147483647.0, 2147483647},
      {2147483647.5, 2147483647}, {-2147483648.0, -2147483647 - 1}, {2147483648.0, 0},
      {-2147483649.0, 0}, {4294967296.0 + 0x101, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0}, {std::numeric_limits<double>::infinity(), 0}};
  for (const auto& c : cases)
    EXPECT_EQ(GetDeviceIdFromParams(DeviceParams(c.value).get()), c.id) << c.value;
  ZnLuaTETable text;
  text.setString("device_id", "257");
  EXPECT_EQ(GetDeviceIdFromParams(&text), 0);
  const ZnLuaTENumber notATable(257);
  EXPECT_EQ(GetDeviceIdFromParams(&notATable), 0);
  EXPECT_EQ(GetDeviceIdFromParams(nullptr), 0);
}

}  // namespace
