// The encoding as the host sees it: known messages byte for byte, the reader's tolerant rules,
// random trees that survive a round trip, and untrusted input from the pipe, which must end in
// the decode error (code 13), allocate no more than the message holds and leak nothing (the
// leak checker runs with these tests).
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <utility>

#include "values/decode_error.h"
#include "values/message_frame.h"

namespace {

std::string Hex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += hex[i] == ' ' ? 1 : 2)
    if (hex[i] != ' ') bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

std::string Encode(const ZnLuaTE& value) {
  std::string bytes;
  value.appendEncoding(bytes);
  return bytes;
}

// What the decoder says of a refused message (checking its code), or "decoded"; a value read
// from a generic stream when `stream`.
std::string Refusal(const std::string& bytes, bool stream = false) {
  try {
    std::istringstream in(bytes);
    if (stream)
      ZnLuaTE::read(in);
    else
      DecodeMessageFrame(bytes.data(), bytes.size());
    return "decoded";
  } catch (const CDecodeError& error) {
    EXPECT_EQ(error.osError(), 13);
    return error.what();
  }
}

const char kShutdown[] = "03000000 03000000 09000000 73687574646F776E00 01000000";

TEST(Codec, MessagesEncodeToTheBytesTheHostDecodesAndBack) {
  EXPECT_EQ(Encode(ZnLuaTEString("")), Hex("03000000 01000000 00"));
  // Text stops at its first zero byte, through the stream writer too.
  EXPECT_EQ(Encode(ZnLuaTEString(std::string("ab\0cd", 5))), Hex("03000000 03000000 616200"));
  std::ostringstream out;
  ZnLuaTEString("ok").write(out);
  EXPECT_EQ(out.str(), Hex("03000000 03000000 6F6B00"));

  ZnLuaTETable payload;
  payload.setString("status", "liveViewOn");
  payload.setNumber("device_id", 257);
  const ZnLuaTEString ok("ok"), shutdown("shutdown");
  EXPECT_EQ(EncodeMessageFrame(7, &ok, &payload),
            Hex("07000000 03000000 03000000 6F6B00 05000000 02000000"
                "03000000 0A000000 6465766963655F696400 02000000 0000000000107040"
                "03000000 07000000 73746174757300 03000000 0B000000 6C697665566965774F6E00"));
  EXPECT_EQ(EncodeMessageFrame(3, &shutdown, nullptr), Hex(kShutdown));
  // The reader is the writer's inverse (the round trip below); the id's high bytes are
  // checked here, where no small id can hide them.
  const std::string bytes = Hex("78563412") + Hex(kShutdown).substr(4);
  const DecodedMessage m = DecodeMessageFrame(bytes.data(), bytes.size());
  EXPECT_EQ(m.requestId, 0x12345678u);
  EXPECT_EQ(Encode(*m.name) + Encode(*m.payload), Hex(kShutdown).substr(4));
}

// Repeated keys are the table's to settle (see the table's tests).
TEST(Codec, ReaderToleratesOddLengthsAndUnknownTopLevelTags) {
  // Each message after its id, and its name and payload re-encoded ("-": none).
  const struct {
    const char* in;
    const char* name;
    const char* payload;
  } cases[] = {
      // L = 6 holding "ab" 00 "cd" 00: the text is "ab" and all six bytes are consumed.
      {"03000000 06000000 6162006364 00 01000000", "03000000 03000000 616200", "01000000"},
      // L = 0 and L = -1: empty strings, nothing further consumed.
      {"03000000 00000000 03000000 FFFFFFFF", "03000000 01000000 00", "03000000 01000000 00"},
      // A count of zero or less is the empty table; data with N = 0 an empty block.
      {"05000000 F6FFFFFF 04000000 00000000", "05000000 00000000", "04000000 00000000"},
      // An unknown tag for the name yields nothing; after a good name, the name alone.
      {"00000000 01000000", "-", "-"},
      {"06000000 01000000", "-", "-"},
      {"03000000 03000000 6F6B00 07000000", "03000000 03000000 6F6B00", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    const std::string bytes = Hex(std::string("09000000") + c.in);
    const DecodedMessage m = DecodeMessageFrame(bytes.data(), bytes.size());
    EXPECT_EQ(m.name ? Encode(*m.name) : "-", c.name[0] == '-' ? "-" : Hex(c.name));
    EXPECT_EQ(m.payload ? Encode(*m.payload) : "-", c.payload[0] == '-' ? "-" : Hex(c.payload));
  }
}

class CRandomTree {
 public:
  explicit CRandomTree(std::uint32_t seed) : m_random(seed) {}

  ZnLuaTEPtr value(int depth) {
    switch (pick(depth < 5 ? 5 : 4)) {
      case 0:
        return std::make_unique<ZnLuaTENil>();
      case 1:
        return number();
      case 2:
        return text();
      case 3: {
        std::string bytes(pick(300), '\0');
        for (char& c : bytes) c = static_cast<char>(pick(256));
        return std::make_unique<ZnLuaTEData>(bytes.data(), static_cast<int>(bytes.size()));
      }
      default: {
        auto table = std::make_unique<ZnLuaTETable>();
        // String and number keys: data and table keys order by address, so their
        // encoding order is not reproducible.
        for (int n = pick(8); n > 0; --n)
          table->setValue(pick(2) ? text() : number(), value(depth + 1));
        return table;
      }
    }
  }

 private:
  int pick(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }

  ZnLuaTEPtr number() {
    const double choices[] = {0.0, -1.0, 257.0, 4294967295.0, 1e300, -2.5e-300, 0.1};
    return std::make_unique<ZnLuaTENumber>(pick(2) ? choices[pick(7)]
                                                   : static_cast<double>(pick(100000)));
  }

  ZnLuaTEPtr text() {
    std::string s(pick(20), '\0');
    for (char& c : s) c = static_cast<char>(1 + pick(255));  // any byte but zero
    return std::make_unique<ZnLuaTEString>(s);
  }

  std::mt19937 m_random;
};

// The encoding is one-to-one for these trees, so equal bytes after a round trip mean equal
// trees. No prefix of a message short of its end decodes.
TEST(Codec, RandomTreesReencodeToIdenticalBytesThroughBothReadersAndNoPrefixDecodes) {
  for (std::uint32_t seed = 1; seed <= 300; ++seed) {
    CRandomTree random(seed);
    const ZnLuaTEPtr name = random.value(0);
    const ZnLuaTEPtr payload = random.value(0);
    const std::string frame = EncodeMessageFrame(seed, name.get(), payload.get());
    ASSERT_EQ(frame.size(), 4 + name->encodedSize() + payload->encodedSize());
    const DecodedMessage m = DecodeMessageFrame(frame.data(), frame.size());
    EXPECT_EQ(EncodeMessageFrame(seed, m.name.get(), m.payload.get()), frame) << "seed " << seed;
    for (std::size_t n = 0; seed <= 20 && n + 1 < frame.size(); ++n)  // every prefix fails
      ASSERT_NE(Refusal(frame.substr(0, n)), "decoded") << "seed " << seed << ", " << n;
    std::istringstream in(Encode(*payload));  // the generic-stream reader
    const ZnLuaTEPtr again = ZnLuaTE::read(in);
    ASSERT_TRUE(again);
    EXPECT_EQ(Encode(*again), Encode(*payload)) << "seed " << seed;
  }
}

// Whole messages refused, each for its reason (messages cut short are the round trip's: no
// prefix decodes). A 2 GiB block or string is refused for its declared length before anything
// is allocated for it, not by the bytes running out after (an allocation of 2 GiB would succeed
// on most machines, under the sanitizers too). A generic stream, which cannot tell the bytes
// left, refuses them alike.
TEST(Codec, MalformedMessagesAreDecodeErrorsWithTheirReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"04000000 FFFFFFFF", "negative data size"},
      {"05000000 01000000 09000000 01000000", "unknown tag in a table key"},
      {"05000000 01000000 03000000 02000000 6100 00000000", "unknown tag in a table value"},
      {"04000000 FFFFFF7F", "data longer than the message"},
      {"03000000 FFFFFF7F", "string longer than the message"},
  };
  for (const auto& [value, reason] : cases) {
    EXPECT_EQ(Refusal(Hex(std::string("00000000") + value)), reason) << value;
    EXPECT_EQ(Refusal(Hex(value), true), reason) << value;
  }
}

TEST(Codec, NestingIsLimited) {
  // Each level a table of one entry whose value (or key) is the next level; the innermost
  // entry is nil, then a nil payload.
  auto nested = [](int levels, bool throughKeys) {
    std::string bytes = Hex("00000000");
    for (int i = 0; i < levels; ++i)
      bytes +=
          Hex(throughKeys ? "05000000 01000000" : "05000000 01000000 02000000 000000000000F03F");
    bytes += Hex("01000000");
    for (int i = 0; throughKeys && i < levels; ++i) bytes += Hex("01000000");
    return bytes + Hex("01000000");
  };
  // 64 levels are read; one more is refused, and a thousand neither recurse without bound
  // nor leak.
  for (bool throughKeys : {false, true}) {
    EXPECT_EQ(Refusal(nested(64, throughKeys)), "decoded") << throughKeys;
    EXPECT_EQ(Refusal(nested(65, throughKeys)), "tables nested too deeply") << throughKeys;
    EXPECT_EQ(Refusal(nested(1000, throughKeys)), "tables nested too deeply") << throughKeys;
  }
}

}  // namespace
