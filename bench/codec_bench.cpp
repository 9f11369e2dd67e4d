// What the message codec costs, measured side by side in one run:
//  1. a camera-settings table (ten keys, four entries lists of 20 to 60 short strings):
//     encode plus decode, against msgpack-c encoding and decoding the same tree;
//  2. a message carrying 1 MiB of raw data: decode, and encode into one contiguous block,
//     each against a memcpy of the same bytes.
// After the benchmarks it prints each ratio next to its target. Only ratios are compared, so
// a noisy shared machine moves both sides alike.
#include <benchmark/benchmark.h>
#include <msgpack.h>

#include <cstdio>
#include <cstring>
#include <istream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "values/bytestreambuf.h"
#include "values/lua_value.h"
#include "values/message_frame.h"

namespace {

// The settings tree, once as strings for both encoders.
struct SettingsShape {
  std::vector<std::pair<std::string, std::string>> plain;
  std::vector<std::pair<std::string, std::vector<std::string>>> lists;
};

SettingsShape MakeShape() {
  SettingsShape shape;
  shape.plain = {
      {"aperture", "f/8"},      {"shutter", "1/250"},           {"isoSpeed", "400"},
      {"whiteBalance", "Auto"}, {"focusMode", "autoFocusMode"}, {"AFButtonPressed", "Off"}};
  const int sizes[4] = {20, 35, 45, 60};
  const char* keys[4] = {"apertureEntries", "shutterEntries", "isoEntries", "wbEntries"};
  for (int l = 0; l < 4; ++l) {
    std::vector<std::string> entries;
    for (int i = 0; i < sizes[l]; ++i) entries.push_back("1/" + std::to_string(100 + 17 * i));
    shape.lists.push_back({keys[l], entries});
  }
  return shape;
}

std::unique_ptr<ZnLuaTETable> MakeTable(const SettingsShape& shape) {
  auto table = std::make_unique<ZnLuaTETable>();
  for (const auto& kv : shape.plain) table->setString(kv.first, kv.second);
  for (const auto& list : shape.lists) {
    auto entries = std::make_unique<ZnLuaTETable>();
    for (std::size_t i = 0; i < list.second.size(); ++i)
      entries->setValue(std::make_unique<ZnLuaTENumber>(static_cast<double>(i)),
                        std::make_unique<ZnLuaTEString>(list.second[i]));
    table->set(list.first, std::move(entries));
  }
  return table;
}

void PackString(msgpack_packer* pk, const std::string& s) {
  msgpack_pack_str(pk, s.size());
  msgpack_pack_str_body(pk, s.data(), s.size());
}

void PackSettings(msgpack_packer* pk, const SettingsShape& shape) {
  msgpack_pack_map(pk, shape.plain.size() + shape.lists.size());
  for (const auto& kv : shape.plain) {
    PackString(pk, kv.first);
    PackString(pk, kv.second);
  }
  for (const auto& list : shape.lists) {
    PackString(pk, list.first);
    msgpack_pack_map(pk, list.second.size());
    for (std::size_t i = 0; i < list.second.size(); ++i) {
      msgpack_pack_double(pk, static_cast<double>(i));
      PackString(pk, list.second[i]);
    }
  }
}

void BM_SettingsOurs(benchmark::State& state) {
  const std::unique_ptr<ZnLuaTETable> table = MakeTable(MakeShape());
  for (auto _ : state) {
    // The sender encodes its table; the receiver decodes it into a tree of its own.
    std::string bytes;
    table->appendEncoding(bytes);
    bytestreambuf buffer(bytes.data(), bytes.size());
    std::istream in(&buffer);
    const ZnLuaTEPtr decoded = ZnLuaTE::read(in);
    benchmark::DoNotOptimize(decoded.get());
  }
}
BENCHMARK(BM_SettingsOurs);

void BM_SettingsMsgpack(benchmark::State& state) {
  const SettingsShape shape = MakeShape();
  for (auto _ : state) {
    msgpack_sbuffer sbuf;
    msgpack_sbuffer_init(&sbuf);
    msgpack_packer pk;
    msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
    PackSettings(&pk, shape);
    msgpack_unpacked result;
    msgpack_unpacked_init(&result);
    msgpack_unpack_next(&result, sbuf.data, sbuf.size, nullptr);
    benchmark::DoNotOptimize(result.data.via.map.size);
    msgpack_unpacked_destroy(&result);
    msgpack_sbuffer_destroy(&sbuf);
  }
}
BENCHMARK(BM_SettingsMsgpack);

constexpr int kFrameBytes = 1024 * 1024;

std::vector<char> FrameBytes() {
  std::vector<char> bytes(kFrameBytes);
  for (int i = 0; i < kFrameBytes; ++i) bytes[i] = static_cast<char>(i * 31);
  return bytes;
}

std::unique_ptr<ZnLuaTETable> MakeFrameTable(const std::vector<char>& bytes) {
  auto table = std::make_unique<ZnLuaTETable>();
  table->set("image", std::make_unique<ZnLuaTEData>(bytes.data(), kFrameBytes));
  table->setNumber("size", kFrameBytes);
  return table;
}

void BM_FrameEncode(benchmark::State& state) {
  const std::vector<char> bytes = FrameBytes();
  const std::unique_ptr<ZnLuaTETable> table = MakeFrameTable(bytes);
  const ZnLuaTEString name("liveViewImage");
  for (auto _ : state) {
    std::string frame = EncodeMessageFrame(0, &name, table.get());
    benchmark::DoNotOptimize(frame.data());
  }
}
BENCHMARK(BM_FrameEncode);

void BM_FrameDecode(benchmark::State& state) {
  const std::vector<char> bytes = FrameBytes();
  const std::unique_ptr<ZnLuaTETable> table = MakeFrameTable(bytes);
  const ZnLuaTEString name("liveViewImage");
  const std::string frame = EncodeMessageFrame(0, &name, table.get());
  for (auto _ : state) {
    DecodedMessage message = DecodeMessageFrame(frame.data(), frame.size());
    benchmark::DoNotOptimize(message.payload.get());
  }
}
BENCHMARK(BM_FrameDecode);

void BM_FrameMemcpy(benchmark::State& state) {
  const std::vector<char> bytes = FrameBytes();
  for (auto _ : state) {
    // A fresh block each time, as the codec allocates its own.
    std::unique_ptr<char[]> copy(new char[kFrameBytes]);
    std::memcpy(copy.get(), bytes.data(), kFrameBytes);
    benchmark::DoNotOptimize(copy.get());
  }
}
BENCHMARK(BM_FrameMemcpy);

// Keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* a, const char* b) {
    const double denominator = reporter.times[b];
    return denominator > 0 ? reporter.times[a] / denominator : 0.0;
  };
  const struct {
    const char* what;
    const char* ours;
    const char* reference;
    double target;
  } rows[] = {
      {"settings table, encode + decode vs msgpack-c", "BM_SettingsOurs", "BM_SettingsMsgpack",
       2.0},
      {"1 MiB frame, decode vs memcpy", "BM_FrameDecode", "BM_FrameMemcpy", 2.0},
      {"1 MiB frame, encode vs memcpy", "BM_FrameEncode", "BM_FrameMemcpy", 3.0},
  };
  std::printf("\nratio  target  measurement\n");
  for (const auto& row : rows) {
    const double r = ratio(row.ours, row.reference);
    std::printf("%5.2f  %5.1fx  %s%s\n", r, row.target, row.what,
                r <= row.target ? "" : "  (over target)");
  }
  return 0;
}
