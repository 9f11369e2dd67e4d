// The encoding as the host sees it: known messages byte for byte, and the
// reader's tolerant rules for lengths, repeated keys and unknown tags.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/values/codec_test_support.h"
#include "values/decode_error.h"
#include "values/message_frame.h"

namespace {

const char kLiveViewOnReply[] =
    "07000000 03000000 03000000 6F6B00 05000000 01000000"
    "03000000 07000000 73746174757300 03000000 0B000000 6C697665566965774F6E00";
const char kDeviceRemoved[] =
    "00000000 03000000 0E000000 6465766963655265 6D6F76656400 05000000 01000000"
    "03000000 0A000000 6465766963655F696400 02000000 0000000000107040";
const char kShutdown[] = "03000000 03000000 09000000 73687574646F776E00 01000000";

TEST(CodecExamples, RepliesAndNotificationsEncodeToTheBytesTheHostDecodes) {
    EXPECT_EQ(Encode(ZnLuaTEString("ok")), Hex("03000000 03000000 6F6B00"));
    EXPECT_EQ(Encode(ZnLuaTENumber(257)), Hex("02000000 0000000000107040"));
    EXPECT_EQ(Encode(ZnLuaTEString("")), Hex("03000000 01000000 00"));

    ZnLuaTETable status;
    status.setString("status", "liveViewOn");
    const ZnLuaTEString ok("ok");
    EXPECT_EQ(EncodeMessageFrame(7, &ok, &status), Hex(kLiveViewOnReply));

    ZnLuaTETable removed;
    removed.setNumber("device_id", 257);
    const ZnLuaTEString removedName("deviceRemoved");
    EXPECT_EQ(EncodeMessageFrame(0, &removedName, &removed), Hex(kDeviceRemoved));

    const ZnLuaTEString shutdown("shutdown");
    EXPECT_EQ(EncodeMessageFrame(3, &shutdown, nullptr), Hex(kShutdown));
}

TEST(CodecExamples, HostRequestsAndRepliesDecodeToTheirIdNameAndPayload) {
    const std::string reply = Hex(kLiveViewOnReply);
    DecodedMessage m = DecodeMessageFrame(reply.data(), reply.size());
    EXPECT_EQ(m.requestId, 7u);
    EXPECT_EQ(m.name->getString(), "ok");
    ASSERT_EQ(m.payload->type, kZnLuaTable);
    EXPECT_EQ(static_cast<ZnLuaTETable&>(*m.payload).getValue("status")->getString(),
              "liveViewOn");

    const std::string shutdown = Hex(kShutdown);
    m = DecodeMessageFrame(shutdown.data(), shutdown.size());
    EXPECT_EQ(m.requestId, 3u);
    const std::string highId = Hex("78563412") + shutdown.substr(4);
    EXPECT_EQ(DecodeMessageFrame(highId.data(), highId.size()).requestId, 0x12345678u);
    EXPECT_EQ(m.name->getString(), "shutdown");
    EXPECT_EQ(m.payload->type, kZnLuaNil);
}

TEST(CodecExamples, WriterStopsTextAtTheFirstZeroByte) {
    EXPECT_EQ(Encode(ZnLuaTEString(std::string("ab\0cd", 5))), Hex("03000000 03000000 616200"));
    std::ostringstream out;
    ZnLuaTEString("ok").write(out);
    EXPECT_EQ(out.str(), Hex("03000000 03000000 6F6B00"));
}

TEST(CodecExamples, ReaderToleratesOddLengthsAndRepeatedKeys) {
    // L = 6 holding "ab" 00 "cd" 00: the text is "ab" and all six bytes are consumed.
    std::string bytes = Hex("00000000 03000000 06000000 6162006364 00 01000000");
    DecodedMessage m = DecodeMessageFrame(bytes.data(), bytes.size());
    EXPECT_EQ(m.name->getString(), "ab");
    ASSERT_TRUE(m.payload);
    EXPECT_EQ(m.payload->type, kZnLuaNil);

    // L = 0 and L = -1: empty strings, nothing further consumed.
    bytes = Hex("00000000 03000000 00000000 03000000 FFFFFFFF");
    m = DecodeMessageFrame(bytes.data(), bytes.size());
    EXPECT_EQ(m.name->getString(), "");
    EXPECT_EQ(m.payload->getString(), "");

    // The key "a" twice, out of order with "0": one entry for "a", the second value wins, and
    // re-encoding sorts the keys.
    bytes = Hex("00000000 01000000 05000000 03000000"
                "03000000 02000000 6100 02000000 000000000000F03F"
                "03000000 02000000 3000 01000000"
                "03000000 02000000 6100 02000000 0000000000000040");
    m = DecodeMessageFrame(bytes.data(), bytes.size());
    auto& table = static_cast<ZnLuaTETable&>(*m.payload);
    EXPECT_EQ(table.count(), 2u);
    EXPECT_EQ(table.getValue("a")->getNumber(), 2.0);
    EXPECT_EQ(Encode(table), Hex("05000000 02000000 03000000 02000000 3000 01000000"
                                 "03000000 02000000 6100 02000000 0000000000000040"));

    // A count of zero or less is the empty table; data with N = 0 an empty block.
    bytes = Hex("00000000 05000000 F6FFFFFF 04000000 00000000");
    m = DecodeMessageFrame(bytes.data(), bytes.size());
    EXPECT_EQ(static_cast<ZnLuaTETable&>(*m.name).count(), 0u);
    EXPECT_EQ(static_cast<ZnLuaTEData&>(*m.payload).size(), 0);
}

TEST(CodecExamples, UnknownTopLevelTagYieldsNoValue) {
    for (const char* tag : {"00000000", "06000000", "FFFFFFFF"}) {
        const std::string bytes = Hex(std::string("09000000") + tag + "01000000");
        DecodedMessage m = DecodeMessageFrame(bytes.data(), bytes.size());
        EXPECT_EQ(m.name, nullptr) << tag;
        EXPECT_EQ(m.payload, nullptr) << tag;
    }
    // A good name followed by an unknown payload tag: the name alone.
    const std::string bytes = Hex("09000000 03000000 03000000 6F6B00 07000000");
    DecodedMessage m = DecodeMessageFrame(bytes.data(), bytes.size());
    ASSERT_TRUE(m.name);
    EXPECT_EQ(m.payload, nullptr);
}

}  // namespace
