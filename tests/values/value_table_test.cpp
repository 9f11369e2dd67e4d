// The table container: key order across and within kinds, replacement, lookups and copies.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "values/lua_value.h"

namespace {

// Counts live instances so a test can see that a replaced key and value are destroyed.
int g_liveProbes = 0;
struct CProbeNumber : ZnLuaTE {
  explicit CProbeNumber() : ZnLuaTE(kZnLuaNumber) { ++g_liveProbes; }
  ~CProbeNumber() override { --g_liveProbes; }
  ZnLuaTEPtr clone() const override { return std::make_unique<CProbeNumber>(); }
  void appendEncoding(std::string& out) const override { ZnLuaTENumber(0).appendEncoding(out); }
  std::size_t encodedSize() const override { return 12; }
};

// Each key as text ("nil", the number, the string; "" for data and tables), in table order.
std::vector<std::string> KeyOrder(const ZnLuaTETable& table) {
  std::vector<std::string> order;
  for (const auto& entry : table) {
    const ZnLuaTE& key = *entry.first;
    const double number = key.getNumber();
    order.push_back(key.type == kZnLuaNil      ? "nil"
                    : key.type != kZnLuaNumber ? key.getString()
                    : std::isnan(number)       ? "nan"
                                               : std::to_string(int(number)));
  }
  return order;
}

TEST(ValueTable, KeysOrderByKindThenValueAndEqualKeysReplaceKeyAndValue) {
  ZnLuaTETable table;
  for (const char* text : {"a", "\xC3\xA9", "B", "ab", "abc", "z"})
    table.setValue(std::make_unique<ZnLuaTEString>(text), std::make_unique<ZnLuaTENil>());
  table.setValue(std::make_unique<ZnLuaTENumber>(2), std::make_unique<ZnLuaTENil>());
  table.setValue(std::make_unique<ZnLuaTENumber>(1), std::make_unique<ZnLuaTENil>());
  table.setValue(std::make_unique<ZnLuaTENil>(), std::make_unique<ZnLuaTENil>());
  for (int i = 0; i < 2; ++i) {  // equal blocks and tables are still keys of their own
    table.setValue(std::make_unique<ZnLuaTEData>("x", 1), std::make_unique<ZnLuaTENil>());
    table.setValue(std::make_unique<ZnLuaTETable>(), std::make_unique<ZnLuaTENil>());
  }
  // Strings compare as unsigned bytes, so "\xC3\xA9" sorts after "z".
  EXPECT_EQ(KeyOrder(table), (std::vector<std::string>{"nil", "1", "2", "B", "a", "ab", "abc", "z",
                                                       "\xC3\xA9", "", "", "", ""}));

  ZnLuaTETable replaced;
  replaced.setValue(std::make_unique<ZnLuaTEString>("k"), std::make_unique<CProbeNumber>());
  auto newKey = std::make_unique<ZnLuaTEString>("k");
  auto newValue = std::make_unique<ZnLuaTENumber>(7);
  const ZnLuaTE* const newKeyAt = newKey.get();
  const ZnLuaTE* const newValueAt = newValue.get();
  replaced.setValue(std::move(newKey), std::move(newValue));
  // A null key is refused without leaking its value; a null value becomes nil.
  replaced.setValue(nullptr, std::make_unique<CProbeNumber>());
  EXPECT_EQ(g_liveProbes, 0);
  EXPECT_EQ(replaced.begin()->first, newKeyAt);
  EXPECT_EQ(replaced.getValue("k"), newValueAt);
  replaced.setValue(std::make_unique<ZnLuaTEString>("n"), nullptr);
  EXPECT_EQ(replaced.getValue("n")->type, kZnLuaNil);
}

TEST(ValueTable, NanKeysFromTheWireAreOneKeyAfterAllNumbers) {
  // Found by the fuzzer: NaN keys broke the map's order, and a pair the map would not take
  // was lost with its memory.
  const double nan = std::nan("");
  ZnLuaTETable table;
  table.setValue(std::make_unique<ZnLuaTENumber>(nan), std::make_unique<CProbeNumber>());
  table.setValue(std::make_unique<ZnLuaTENumber>(2), std::make_unique<ZnLuaTENumber>(0));
  table.setValue(std::make_unique<ZnLuaTENumber>(-nan), std::make_unique<ZnLuaTENumber>(1));
  table.setValue(std::make_unique<ZnLuaTENumber>(1), std::make_unique<ZnLuaTENumber>(0));
  EXPECT_EQ(g_liveProbes, 0);
  EXPECT_EQ(KeyOrder(table), (std::vector<std::string>{"1", "2", "nan"}));
}

TEST(ValueTable, LookupsMatchOnlyStringKeysOfTheRightKindAndCopiesOutliveTheirSource) {
  auto source = std::make_unique<ZnLuaTETable>();
  source->setValue(std::make_unique<ZnLuaTENumber>(1), std::make_unique<ZnLuaTEString>("one"));
  source->setNumber("n", 5);
  source->setString("s", "5");
  std::string found;  // per key: any value, a string, a number
  for (const char* key : {"1", "x", "n", "s"})
    found += std::string(key) + ":" + (source->getValue(key) ? "v" : "-") +
             (source->getStringValue(key) ? "s" : "-") +
             (source->getNumberValue(key) ? "n " : "- ");
  EXPECT_EQ(found, "1:--- x:--- n:v-n s:vs- ");
  EXPECT_EQ(source->getValue("s")->getNumber(), 0.0);
  EXPECT_EQ(source->getValue("n")->getString(), "");

  auto inner = std::make_unique<ZnLuaTETable>();
  inner->set("frame", std::make_unique<ZnLuaTEData>("\xFF\xD8", 2));
  source->set("inner", std::move(inner));
  const ZnLuaTEPtr copy = source->clone();
  std::string before, after;
  source->appendEncoding(before);
  source.reset();
  copy->appendEncoding(after);
  EXPECT_EQ(after, before);
}

}  // namespace
