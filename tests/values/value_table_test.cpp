// The table container: key order across and within kinds, replacement, lookups and copies.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/values/codec_test_support.h"

namespace {

// Counts live instances so a test can see that a replaced key and value are destroyed.
int g_liveProbes = 0;
struct CProbeNumber : ZnLuaTE {
    explicit CProbeNumber() : ZnLuaTE(kZnLuaNumber) { ++g_liveProbes; }
    ~CProbeNumber() override { --g_liveProbes; }
    ZnLuaTE* clone() const override { return new CProbeNumber(); }
    void appendEncoding(std::string& out) const override { ZnLuaTENumber(0).appendEncoding(out); }
    std::size_t encodedSize() const override { return 12; }
};

std::vector<std::string> KeyOrder(const ZnLuaTETable& table) {
    std::vector<std::string> order;
    for (const auto& entry : table) {
        switch (entry.first->type) {
            case kZnLuaNil: order.push_back("nil"); break;
            case kZnLuaNumber: order.push_back(std::to_string(int(entry.first->getNumber()))); break;
            default: order.push_back(entry.first->getString());
        }
    }
    return order;
}

TEST(ValueTable, KeysOrderByKindThenUnsignedBytes) {
    ZnLuaTETable table;
    table.setValue(new ZnLuaTENumber(2), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("a"), new ZnLuaTENil());
    table.setValue(new ZnLuaTENumber(1), new ZnLuaTENil());
    table.setValue(new ZnLuaTENil(), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("\xC3\xA9"), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("B"), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("ab"), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("abc"), new ZnLuaTENil());
    table.setValue(new ZnLuaTEString("z"), new ZnLuaTENil());
    for (int i = 0; i < 2; ++i) {  // equal blocks and tables are still keys of their own
        table.setValue(new ZnLuaTEData("x", 1), new ZnLuaTENil());
        table.setValue(new ZnLuaTETable(), new ZnLuaTENil());
    }
    EXPECT_EQ(KeyOrder(table), (std::vector<std::string>{"nil", "1", "2", "B", "a", "ab", "abc",
                                                         "z", "\xC3\xA9", "", "", "", ""}));
}

TEST(ValueTable, EqualKeyReplacesKeyAndValue) {
    ZnLuaTETable table;
    table.setValue(new ZnLuaTEString("k"), new CProbeNumber());
    auto* newKey = new ZnLuaTEString("k");
    auto* newValue = new ZnLuaTENumber(7);
    table.setValue(newKey, newValue);
    EXPECT_EQ(g_liveProbes, 0);
    EXPECT_EQ(table.count(), 1u);
    EXPECT_EQ(table.begin()->first, newKey);
    EXPECT_EQ(table.getValue("k"), newValue);
    // A null key is refused without leaking its value; a null value becomes nil.
    table.setValue(nullptr, new CProbeNumber());
    EXPECT_EQ(g_liveProbes, 0);
    table.setValue(new ZnLuaTEString("n"), nullptr);
    EXPECT_EQ(table.getValue("n")->type, kZnLuaNil);
}

TEST(ValueTable, NanKeysFromTheWireAreOneKeyAfterAllNumbers) {
    // Found by the fuzzer: NaN keys broke the map's order, and a pair the map would not take
    // was lost with its memory.
    const double nan = std::nan("");
    ZnLuaTETable table;
    table.setValue(new ZnLuaTENumber(nan), new CProbeNumber());
    table.setValue(new ZnLuaTENumber(2), new ZnLuaTENumber(0));
    table.setValue(new ZnLuaTENumber(-nan), new ZnLuaTENumber(1));
    table.setValue(new ZnLuaTENumber(1), new ZnLuaTENumber(0));
    EXPECT_EQ(g_liveProbes, 0);
    ASSERT_EQ(table.count(), 3u);
    std::vector<double> keys;
    for (const auto& entry : table) keys.push_back(entry.first->getNumber());
    EXPECT_EQ(keys[0], 1);
    EXPECT_EQ(keys[1], 2);
    EXPECT_TRUE(std::isnan(keys[2]));
}

TEST(ValueTable, LookupsMatchOnlyStringKeysOfTheRightKind) {
    ZnLuaTETable table;
    table.setValue(new ZnLuaTENumber(1), new ZnLuaTEString("one"));
    table.setNumber("n", 5);
    table.setString("s", "5");
    EXPECT_EQ(table.getValue("1"), nullptr);
    EXPECT_EQ(table.getValue("x"), nullptr);
    EXPECT_EQ(table.getStringValue("x"), nullptr);
    EXPECT_EQ(table.getStringValue("n"), nullptr);
    EXPECT_NE(table.getNumberValue("n"), nullptr);
    EXPECT_EQ(table.getNumberValue("s"), nullptr);
    EXPECT_EQ(table.getValue("s")->getNumber(), 0.0);
    EXPECT_EQ(table.getValue("n")->getString(), "");
}

TEST(ValueTable, CloneOutlivesItsSource) {
    auto* source = new ZnLuaTETable();
    auto* inner = new ZnLuaTETable();
    inner->set("frame", new ZnLuaTEData("\xFF\xD8", 2));
    source->set("inner", inner);
    source->setString("name", "D850");
    ZnLuaTEPtr copy(source->clone());
    const std::string before = Encode(*source);
    delete source;
    EXPECT_EQ(Encode(*copy), before);
}

}  // namespace
