// What a download makes of the blocks a camera sends, against the scripted fake module: the
// file on disk and what the host is told, for blocks in and out of order, overlapping, past the
// file's end or after it is whole, sizes that disagree, holes, and transfers that break.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/block_coverage.h"
#include "camera/download/download_directory.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "tests/camera/fake_module.h"
#include "tests/camera/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

constexpr maid::ULONG kCameraId = 5;
constexpr maid::ULONG kItemId = 9;
constexpr maid::ULONG kDataId = 1;
constexpr maid::ULONG kFileSize = 3000;

// Junk blocks hold bytes that are not the file's; the last two kinds must be ignored.
enum BlockKind { kFileBytes, kJunk, kNotFileData, kNoData };
struct Block {
  maid::ULONG start;
  maid::ULONG length;
  BlockKind kind = kFileBytes;
};

struct BlockCase {
  const char* name;
  std::vector<Block> blocks;
  std::string expected;                   // what the host hears, as Download() sums it up
  maid::ULONG storedBytes = kFileSize;    // what StoredBytes answers
  maid::ULONG total = kFileSize;          // the blocks' total length
  maid::NKERROR completion = 0;           // the transfer's completion result
  maid::NKERROR storedBytesResult = 0;    // not 0: StoredBytes cannot be read
  maid::ULONG rawJpegType = 0;            // RawJpegImageStatus (1) listed with this type
};

void PrintTo(const BlockCase& c, std::ostream* out) { *out << c.name; }

unsigned char FileByte(std::size_t i) { return static_cast<unsigned char>(i * 7 + (i >> 8)); }

// A camera with one new item whose image data object sends the queued blocks at the first
// poll of the transfer and completes with the case's result.
class DownloadBlocksTest : public ::testing::TestWithParam<BlockCase> {
 protected:
  void SetUp() override {
    CFakeObject data;
    data.id = kDataId;
    data.addStandardCaps();
    data.caps[kNkMAIDCapability_StoredBytes] = CFakeCapability::Unsigned(GetParam().storedBytes);
    data.caps[kNkMAIDCapability_StoredBytes].getResult = GetParam().storedBytesResult;
    data.caps[kNkMAIDCapability_Acquire] = CFakeCapability::Process();
    if (GetParam().rawJpegType != 0)
      data.caps[kNkMAIDCapability_RawJpegImageStatus] =
          CFakeCapability::Unsigned(1, GetParam().rawJpegType);
    CFakeObject item;
    item.id = kItemId;
    item.children[kDataId] = data;
    item.addStandardCaps();
    item.caps[kNkMAIDCapability_DataTypes] = CFakeCapability::Unsigned(kNkMAIDDataObjType_Image);
    CFakeObject camera;
    camera.id = kCameraId;
    camera.children[kItemId] = item;
    camera.addStandardCaps();
    fake.root.children[kCameraId] = camera;
    fake.root.addStandardCaps();

    SetCameraHost(&host);
    CNikonModuleManager::getInstance();  // keeps the list of pending items
    m_folder = PrivateTempPath("lb_download_blocks");
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
    g_downloadDirectory = m_folder + "/";
    m_module = std::make_unique<CNikonModule>(&CFakeModule::FakeEntryPoint, 1);
    m_camera = m_module->adoptChild(std::make_unique<CCamera>(m_module.get(), kCameraId));
    DiscardOutgoingMessages();
  }
  void TearDown() override {
    m_module.reset();
    CNikonModuleManager::DestroyInstance();
    SetCameraHost(nullptr);
    DiscardOutgoingMessages();
    fs::remove_all(m_folder);
  }

  // Queues the blocks for the transfer's first poll.
  void sendBlocks(const std::vector<Block>& blocks, maid::ULONG total) {
    fake.onAsync.push_back([this, blocks, total] {
      for (const Block& block : blocks) {
        CFakeObject* data = fake.find({kCameraId, kItemId, kDataId});
        if (!data || !data->dataProc.pProc) return;
        std::vector<unsigned char> bytes(block.length);
        for (std::size_t i = 0; i < bytes.size(); ++i)
          bytes[i] = block.kind == kFileBytes ? FileByte(block.start + i) : 0xEE;
        maid::MaidDataInfo info{block.kind == kNotFileData ? 0u : kNkMAIDDataObjType_File,
                                kNkMAIDFileDataType_JPEG, total, block.start, block.length};
        reinterpret_cast<maid::DataProc>(data->dataProc.pProc)(
            data->dataProc.refProc, &info, block.kind == kNoData ? nullptr : bytes.data());
      }
    });
  }

  // Downloads the item and sums up what the host heard: "announced " when the file was,
  // then "whole" or "error <code>", " pair" for a RAW+JPEG file, " elsewhere" for a file
  // that had to move off its announced name, and what an incomplete one misses. Checks on
  // the way that a whole file is byte for byte the camera's and a failed one leaves nothing.
  std::string download() {
    const std::vector<std::string> before = FilesIn(m_folder);
    m_camera->onItemAdded(kItemId);
    auto messages = TakeAll();
    EXPECT_EQ(fake.openObjects, 2) << "the item and its data are closed; module and camera stay";
    if (messages.empty()) return "nothing";
    std::string summary;
    double captureId = -12345;  // absent when never announced
    std::string fileName;
    if (messages[0]->name->getString() == "objectWasAdded") {
      const ZnLuaTETable* added = Payload(*messages[0]);
      // The size the host is told is the size of the file the camera's blocks make.
      EXPECT_EQ(Number(added, "file_size"), kFileSize);
      captureId = Number(added, "capture_id");
      fileName = m_lastName = Text(added, "file_name");
      summary = Number(added, "has_sidecar") == 1 ? "announced pair " : "announced ";
      messages.erase(messages.begin());
    }
    EXPECT_EQ(messages.size(), 1u) << "one outcome per file";
    if (messages.empty()) return summary + "no outcome";
    const ZnLuaTETable* outcome = Payload(*messages[0]);
    EXPECT_EQ(Number(outcome, "capture_id"), captureId);
    std::vector<std::string> after = before;
    if (messages[0]->name->getString() == "fileDownloadComplete") {
      const std::string path = Text(outcome, "file_path");
      EXPECT_GE(Number(outcome, "file_download_time"), 0);
      EXPECT_LT(Number(outcome, "file_download_time"), 10000);
      const auto bytes = ReadBytes(path);
      EXPECT_EQ(bytes.size(), kFileSize);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != FileByte(i)) return summary + "wrong byte at " + std::to_string(i);
      const bool elsewhere = path != g_downloadDirectory + fileName;
      after.push_back(fs::path(path).filename().string());
      if (elsewhere) after.push_back(fileName);  // another program's file, untouched
      std::sort(after.begin(), after.end());
      EXPECT_EQ(FilesIn(m_folder), after) << "the file and no .part";
      return summary + (elsewhere ? "whole elsewhere" : "whole");
    }
    EXPECT_EQ(FilesIn(m_folder), after) << "a failed download leaves nothing behind";
    const std::string description = Text(outcome, "error_description");
    if (!fileName.empty()) EXPECT_EQ(description.rfind(fileName + ": ", 0), 0u) << description;
    summary += "error " + std::to_string(static_cast<int>(Number(outcome, "error_code")));
    const auto missing = description.find("ended the transfer with ");
    return missing == std::string::npos ? summary : summary + ": " + description.substr(missing + 24);
  }

  CFakeModule fake;
  CHostNotifications host;
  std::unique_ptr<CNikonModule> m_module;
  CCamera* m_camera = nullptr;
  std::string m_folder;
  std::string m_lastName;  // of the file last announced
};

TEST_P(DownloadBlocksTest, FileIsWholeOrReportedFailed) {
  fake.completionResult = GetParam().completion;
  sendBlocks(GetParam().blocks, GetParam().total);
  EXPECT_EQ(download(), GetParam().expected);
}

constexpr const char* kWhole = "announced whole";
// The host's documented codes, by number.
const std::string kIncomplete = "announced error -1006: ";
constexpr const char* kNoSize = "error -1001";

const BlockCase kBlockCases[] = {
    {"InOrder", {{0, 1000}, {1000, 1000}, {2000, 1000}}, kWhole},
    // The block reaching the end comes first and is not the last; blocks overlap.
    {"OutOfOrderOverlapping", {{2000, 1000}, {0, 1500}, {1000, 1500}}, kWhole},
    {"OneByteBlocksBackwards", [] {
       std::vector<Block> blocks;
       for (maid::ULONG i = kFileSize; i-- > 0;) blocks.push_back({i, 1});
       return blocks;
     }(), kWhole},
    // Whatever StoredBytes says, the blocks size the file: not cut, not padded; an absurd
    // size is no size (not a 2 GB buffer of zeros behind the picture).
    {"StoredBytesTooSmall", {{0, 3000}}, kWhole, 1000},
    {"StoredBytesTooLarge", {{0, 1500}, {1500, 1500}}, kWhole, 9000},
    {"StoredBytesUnusable", {{0, 3000}}, kWhole, 0},
    {"StoredBytesUnreadable", {{0, 3000}}, kWhole, kFileSize, kFileSize, 0, kNkMAIDResult_NotSupported},
    {"StoredBytesAbsurd", {{0, 3000}}, kWhole, 2147483000},
    {"TotalAbsurdStoredBytesSizes", {{0, 3000}}, kWhole, kFileSize, 0x80000000u},
    {"NoUsableSizeAtAll", {{0, 3000}}, kNoSize, 0, 0},
    {"BothSizesAbsurd", {{0, 3000}}, kNoSize, (1u << 30) + 1, (1u << 30) + 1},
    // Blocks past the end (one wrapping around 32 bits), after the file is whole, without
    // data or not of the file change nothing in it.
    {"BlocksPastTheEndAndAfterTheFileIsWhole",
     {{0, 3000, kNotFileData}, {0, 3000, kNoData}, {0, 1000}, {2500, 1000, kJunk},
      {0xFFFFFF00u, 0x200, kJunk}, {1000, 2000}, {0, 3000, kJunk}, {4000, 10, kJunk}}, kWhole},
    // The pair status, by its capability type; another type says nothing of a pair.
    {"PairStatusUnsigned", {{0, 3000}}, "announced pair whole", kFileSize, kFileSize, 0, 0,
     kNkMAIDCapType_Unsigned},
    {"PairStatusInteger", {{0, 3000}}, "announced pair whole", kFileSize, kFileSize, 0, 0,
     kNkMAIDCapType_Integer},
    {"PairStatusBoolean", {{0, 3000}}, kWhole, kFileSize, kFileSize, 0, 0, kNkMAIDCapType_Boolean},
    // Holes: the camera ends the transfer with bytes missing.
    {"GapNeverFilled", {{0, 1000}, {2000, 1000}}, kIncomplete +
     "1000 of 3000 bytes missing, the first at offset 1000"},
    {"TailNeverSent", {{0, 1000}, {1000, 1999}}, kIncomplete +
     "1 of 3000 bytes missing, the first at offset 2999"},
    {"NeededBlockReachesPastTheEnd", {{0, 2000}, {2000, 1001}}, kIncomplete +
     "1000 of 3000 bytes missing, the first at offset 2000"},
    {"StartNeverSent", {{1, 2999}}, kIncomplete +
     "1 of 3000 bytes missing, the first at offset 0"},
    // The camera reports the failure: its result is the code.
    {"CameraLostMidTransfer", {{0, 1000}}, "announced error " + std::to_string(kNkMAIDResult_CameraNotFound), kFileSize, kFileSize,
     kNkMAIDResult_CameraNotFound},
    {"TransferAborted", {{0, 1000}}, "announced error " + std::to_string(kNkMAIDResult_Aborted), kFileSize, kFileSize,
     kNkMAIDResult_Aborted},
    // Nothing sent at all: nothing was announced, yet the host hears of the lost picture.
    {"NoBlocks", {}, "error -1006"},
};

INSTANTIATE_TEST_SUITE_P(Blocks, DownloadBlocksTest, ::testing::ValuesIn(kBlockCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Transfers that never reach their completion, one the camera will not start, and image data
// it will not open, one after another on the same camera.
class DownloadWithoutCompletionTest : public DownloadBlocksTest {};

TEST_P(DownloadWithoutCompletionTest, TransferThatStopsIsReported) {
  // The module stops answering polls after the first blocks, without a completion.
  fake.completeOnAsync = false;
  fake.asyncResult = kNkMAIDResult_HardwareError;
  sendBlocks({{0, 1000}}, kFileSize);
  EXPECT_EQ(download(), "announced error -1007");
  EXPECT_EQ(download(), "error -1007");
  // The whole file on disk, only the completion missing: the file is there, and said so.
  sendBlocks({{0, kFileSize}}, kFileSize);
  EXPECT_EQ(download(), kWhole);

  // Another program takes the final name while the file transfers: neither file is lost.
  sendBlocks({{0, 1000}}, kFileSize);
  fake.onAsync.push_back([this] {
    for (const auto& name : FilesIn(m_folder))
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".part") == 0)
        std::ofstream(m_folder + "/" + name.substr(0, name.size() - 5)) << "theirs";
  });
  sendBlocks({{1000, kFileSize - 1000}}, kFileSize);
  EXPECT_EQ(download(), "announced whole elsewhere");
  EXPECT_EQ(ReadBytes(g_downloadDirectory + m_lastName).size(), 6u);

  // A transfer the camera refuses to start: its result, nothing announced.
  fake.find({kCameraId, kItemId, kDataId})->caps[kNkMAIDCapability_Acquire].startResult =
      kNkMAIDResult_DeviceBusy;
  EXPECT_EQ(download(), "error " + std::to_string(kNkMAIDResult_DeviceBusy));

  // The module answers at last: the completions of the transfers given up on find nobody to
  // call, and nothing is reported twice.
  fake.completeOnAsync = true;
  fake.asyncResult = 0;
  m_module->callAsync();
  EXPECT_TRUE(TakeAll().empty());

  // Image data the camera will not open is a picture lost; an item without image data is not.
  fake.find({kCameraId, kItemId, kDataId})->openResult = kNkMAIDResult_UnexpectedError;
  EXPECT_EQ(download(), "error " + std::to_string(kNkMAIDResult_UnexpectedError));
  fake.find({kCameraId, kItemId})->caps[kNkMAIDCapability_DataTypes].value = 0;
  EXPECT_EQ(download(), "nothing");
}

INSTANTIATE_TEST_SUITE_P(Stops, DownloadWithoutCompletionTest,
                         ::testing::Values(BlockCase{"Stops", {}, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BlockCoverage, UnionOfRangesInAnyOrder) {
  CBlockCoverage coverage;
  EXPECT_TRUE(coverage.covers(0));
  EXPECT_FALSE(coverage.covers(1));
  coverage.add(10, 20);
  coverage.add(30, 40);
  coverage.add(5, 5);  // empty
  EXPECT_EQ(coverage.firstMissing(40), 0u);
  coverage.add(0, 10);   // touches the first range
  EXPECT_EQ(coverage.firstMissing(40), 20u);
  EXPECT_EQ(coverage.filledBytes(), 30u);
  coverage.add(15, 35);  // bridges both, overlapping each
  EXPECT_TRUE(coverage.covers(40));
  EXPECT_FALSE(coverage.covers(41));
  EXPECT_EQ(coverage.filledBytes(), 40u);
  coverage.add(20, 30);  // inside what is there
  EXPECT_TRUE(coverage.covers(40));
  coverage.add(45, 50);
  coverage.add(38, 46);  // swallows the end of one and the start of the next
  EXPECT_EQ(coverage.filledBytes(), 50u);
  EXPECT_TRUE(coverage.covers(50));
}

}  // namespace
