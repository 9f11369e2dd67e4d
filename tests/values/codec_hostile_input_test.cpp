// Input from the pipe is untrusted: every malformed message must end in the decode error
// (code 13), allocate no more than the message holds, and leak nothing (the leak checker runs
// with these tests).
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/values/codec_test_support.h"
#include "values/decode_error.h"
#include "values/message_frame.h"

namespace {

void ExpectDecodeError(const std::string& bytes, const char* why) {
    try {
        DecodeMessageFrame(bytes.data(), bytes.size());
        ADD_FAILURE() << "decoded: " << why;
    } catch (const CDecodeError& error) {
        EXPECT_EQ(error.osError(), 13) << why;
    }
}

TEST(CodecHostileInput, TruncatedFieldsAreDecodeErrors) {
    ExpectDecodeError("", "empty message");
    ExpectDecodeError(Hex("070000"), "request id cut short");
    ExpectDecodeError(Hex("07000000 0300"), "tag cut short");
    ExpectDecodeError(Hex("07000000 02000000 00000000"), "number cut short");
    ExpectDecodeError(Hex("07000000 03000000 0300"), "string length cut short");
    ExpectDecodeError(Hex("07000000 03000000 05000000 6F6B00"), "string body cut short");
    // The count says two entries but only one pair follows; the built entry is released.
    ExpectDecodeError(Hex("07000000 05000000 02000000 03000000 02000000 6100 01000000"),
                      "table cut short");
    // Every prefix of a well-formed message short of its end fails, none crashes.
    ZnLuaTETable payload;
    payload.setString("status", "liveViewOn");
    ZnLuaTETable* inner = new ZnLuaTETable();
    inner->set("blob", new ZnLuaTEData("xyz", 3));
    payload.set("inner", inner);
    const ZnLuaTEString name("ok");
    const std::string frame = EncodeMessageFrame(1, &name, &payload);
    for (std::size_t n = 0; n + 1 < frame.size(); ++n) {
        ExpectDecodeError(frame.substr(0, n), "prefix");
    }
}

// The field the decoder names for a refused message, or "decoded".
std::string Refusal(const std::string& bytes) {
    try {
        DecodeMessageFrame(bytes.data(), bytes.size());
        return "decoded";
    } catch (const CDecodeError& error) {
        return error.what();
    }
}

TEST(CodecHostileInput, DeclaredLengthsBeyondTheMessageFailBeforeAllocating) {
    // 12 bytes that declare a 2 GiB block and a 2 GiB string are refused for their length
    // before anything is allocated for them, not by the bytes running out after (an allocation
    // of 2 GiB would succeed on most machines, under the sanitizers too).
    EXPECT_EQ(Refusal(Hex("00000000 04000000 FFFFFF7F")), "data longer than the message");
    EXPECT_EQ(Refusal(Hex("00000000 03000000 FFFFFF7F")), "string longer than the message");
    ExpectDecodeError(Hex("00000000 04000000 FFFFFFFF"), "negative data size");
    ExpectDecodeError(Hex("00000000 04000000 05000000 01020304"), "data one byte short");
    // The same limits hold for a generic stream, which cannot tell the bytes left.
    for (const char* field : {"04000000 FFFFFF7F", "03000000 FFFFFF7F"}) {
        std::istringstream in(Hex(field));
        try {
            delete ZnLuaTE::read(in);
            ADD_FAILURE() << "decoded " << field;
        } catch (const CDecodeError& error) {
            EXPECT_NE(std::string(error.what()).find("longer than the message"), std::string::npos)
                << field << ": " << error.what();
        }
    }
}

TEST(CodecHostileInput, UnknownTagsInsideTablesAreDecodeErrors) {
    ExpectDecodeError(Hex("00000000 05000000 01000000 09000000 01000000"), "unknown key tag");
    ExpectDecodeError(Hex("00000000 05000000 01000000 03000000 02000000 6100 00000000"),
                      "unknown value tag");
}

TEST(CodecHostileInput, NestingIsLimited) {
    // Each level a table of one entry whose value (or key) is the next level; the innermost
    // entry is nil, then a nil payload.
    auto nested = [](int levels, bool throughKeys) {
        std::string bytes = Hex("00000000");
        for (int i = 0; i < levels; ++i)
            bytes += Hex(throughKeys ? "05000000 01000000" : "05000000 01000000 02000000 000000000000F03F");
        bytes += Hex("01000000");
        for (int i = 0; throughKeys && i < levels; ++i) bytes += Hex("01000000");
        return bytes + Hex("01000000");
    };
    // 64 levels are read; one more is refused, and a thousand neither recurse without bound
    // nor leak.
    for (bool throughKeys : {false, true}) {
        const std::string deepest = nested(64, throughKeys);
        EXPECT_NO_THROW(DecodeMessageFrame(deepest.data(), deepest.size())) << throughKeys;
        ExpectDecodeError(nested(65, throughKeys), "one level too deep");
        ExpectDecodeError(nested(1000, throughKeys), "a thousand levels");
    }
}

}  // namespace
