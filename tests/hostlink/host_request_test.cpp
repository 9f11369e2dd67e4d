// The portable halves of the transport: a request's bytes decoded for its handler, and a
// message's bytes up to the size limit.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hostlink/host_request.h"
#include "hostlink/outgoing_queue.h"
#include "values/lua_value.h"
#include "values/message_frame.h"
#include "values/wire_format.h"

namespace {

std::string Tag(std::int32_t tag) {
  std::string bytes;
  AppendWireInt32(bytes, tag);
  return bytes;
}

// What a handler is given for each request, and what it returns.
struct CReceivedRequest {
  int calls = 0;
  std::uint32_t id = 0;
  std::string name;
  int payloadType = -1;
  int result = 0;
};
CReceivedRequest g_received;
int RecordRequest(std::uint32_t id, const ZnLuaTE* name, const ZnLuaTE* params) {
  ++g_received.calls;
  g_received.id = id;
  g_received.name = name->getString();
  g_received.payloadType = params ? params->type : -1;
  return g_received.result;
}

TEST(HostRequest, DecodedRequestsReachTheHandlerAndUndecodableOnesAreDropped) {
  g_received = CReceivedRequest();
  ZnLuaTETable params;
  params.setNumber("device_id", 257);
  const ZnLuaTEString name("connectDevice");
  const std::string frame = EncodeMessageFrame(0xFFFFFFFE, &name, &params);
  std::uint32_t id = 0;
  EXPECT_EQ(HandleHostRequest(frame.data(), frame.size(), RecordRequest, &id), 0);
  EXPECT_EQ(g_received.calls, 1);
  EXPECT_EQ(g_received.id, 0xFFFFFFFEu);
  EXPECT_EQ(id, 0xFFFFFFFEu);
  EXPECT_EQ(g_received.name, "connectDevice");
  EXPECT_EQ(g_received.payloadType, kZnLuaTable);
  g_received.result = 1;  // the handler ends the session
  EXPECT_EQ(HandleHostRequest(frame.data(), frame.size(), RecordRequest), 1);
  EXPECT_EQ(HandleHostRequest(frame.data(), frame.size(), nullptr), 0);
  EXPECT_EQ(g_received.calls, 2);

  // Empty, cut short, or with a tag that names no value (in the name or the payload): not
  // handled, and never taken for the end of the session.
  const std::string unknownPayload = frame.substr(0, frame.size() - params.encodedSize()) + Tag(9);
  const std::string unknownName = frame.substr(0, 4) + Tag(9) + Tag(1);
  for (const std::string& bad : {std::string(), frame.substr(0, 3), frame.substr(0, frame.size() - 1),
                                 unknownPayload, unknownName}) {
    id = 77;
    EXPECT_EQ(HandleHostRequest(bad.data(), bad.size(), RecordRequest, &id), 0) << bad.size();
    EXPECT_EQ(id, 77u);
  }
  EXPECT_EQ(g_received.calls, 2);
}

TEST(HostRequest, MessagesUpToTheLimitAreEncodedAndLargerOnesRefused) {
  const ZnLuaTEString name("liveViewImage");
  // The frame holds the id, the name and the data's tag and size besides the block.
  const int overhead = static_cast<int>(4 + name.encodedSize() + 8);
  std::string frame;
  for (int extra : {0, 1}) {
    ZnLuaTEData block(nullptr, static_cast<int>(kMaxMessageSize) - overhead + extra);
    OutgoingMessage message;
    message.requestId = 5;
    message.name = std::make_unique<ZnLuaTEString>("liveViewImage");
    message.value.reset(block.clone());
    const bool sent = EncodeMessageForHost(message, frame);
    EXPECT_EQ(sent, extra == 0) << extra;
    EXPECT_EQ(frame.size(), extra == 0 ? kMaxMessageSize : 0u) << extra;
  }
  EXPECT_TRUE(EncodeMessageForHost(0, &name, nullptr, frame));
  EXPECT_EQ(DecodeMessageFrame(frame.data(), frame.size()).payload->type, kZnLuaNil);
  EXPECT_FALSE(EncodeMessageForHost(0, nullptr, nullptr, frame));
}

}  // namespace
