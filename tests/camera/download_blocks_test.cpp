// What a download makes of the blocks a camera sends, against the scripted fake module: the
// file on disk and what the host is told, for blocks in and out of order, overlapping, past the
// file's end or after it is whole, sizes that disagree, holes, and transfers that break.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bridge/notifications.h"
#include "camera/camera/camera.h"
#include "camera/download/block_coverage.h"
#include "camera/download/content_data.h"
#include "camera/download/download_directory.h"
#include "camera/modules/module_manager.h"
#include "camera/modules/nikon_module.h"
#include "hostlink/outgoing_queue.h"
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
  maid::ULONG storedBytes = kFileSize;      // what StoredBytes answers
  maid::NKERROR completion = 0;             // the transfer's completion result
  int expectedError = 0;                    // 0: the file arrives whole
  bool expectAnnounced = true;              // "objectWasAdded" comes first
  maid::ULONG total = kFileSize;            // the blocks' total length
  maid::NKERROR storedBytesResult = 0;      // not 0: StoredBytes cannot be read
  maid::ULONG rawJpegType = 0;              // RawJpegImageStatus (1) listed with this type
  int expectSidecar = 0;                    // has_sidecar as announced
};

void PrintTo(const BlockCase& c, std::ostream* out) { *out << c.name; }

unsigned char FileByte(std::size_t i) { return static_cast<unsigned char>(i * 7 + (i >> 8)); }

// A camera with one new item whose image data object sends the case's blocks at the first
// poll of the transfer and completes with its result.
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

  std::vector<std::string> filesOnDisk() const { return FilesIn(m_folder); }

  CFakeModule fake;
  CHostNotifications host;
  std::unique_ptr<CNikonModule> m_module;
  CCamera* m_camera = nullptr;
  std::string m_folder;
};

TEST_P(DownloadBlocksTest, FileIsWholeOrReportedFailed) {
  const BlockCase& c = GetParam();
  fake.completionResult = c.completion;
  sendBlocks(c.blocks, c.total);
  m_camera->onItemAdded(kItemId);

  auto messages = TakeAll();
  std::size_t next = 0;
  double captureId = -12345;
  std::string fileName;
  if (c.expectAnnounced) {
    ASSERT_GT(messages.size(), next);
    ASSERT_EQ(messages[next]->name->getString(), "objectWasAdded");
    const ZnLuaTETable* added = Payload(*messages[next++]);
    // The size the host is told is the size of the file the camera's blocks make.
    EXPECT_EQ(Number(added, "file_size"), kFileSize);
    EXPECT_EQ(Number(added, "has_sidecar"), c.expectSidecar);
    captureId = Number(added, "capture_id");
    fileName = Text(added, "file_name");
  }
  ASSERT_EQ(messages.size(), next + 1) << "one outcome per file";
  const ZnLuaTETable* outcome = Payload(*messages[next]);
  EXPECT_EQ(Number(outcome, "capture_id"), captureId);  // absent (-12345) when never announced

  if (c.expectedError == 0) {
    ASSERT_EQ(messages[next]->name->getString(), "fileDownloadComplete")
        << Text(outcome, "error_description");
    const std::string path = Text(outcome, "file_path");
    EXPECT_EQ(path, g_downloadDirectory + fileName);
    const auto bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), kFileSize);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      ASSERT_EQ(bytes[i], FileByte(i)) << "first wrong byte at " << i;
    EXPECT_EQ(filesOnDisk(), std::vector<std::string>{fileName});
  } else {
    ASSERT_EQ(messages[next]->name->getString(), "error");
    EXPECT_EQ(Number(outcome, "error_code"), c.expectedError);
    const std::string description = Text(outcome, "error_description");
    if (!fileName.empty()) EXPECT_EQ(description.rfind(fileName + ": ", 0), 0u) << description;
    EXPECT_TRUE(filesOnDisk().empty()) << "a failed download leaves nothing behind";
  }
  EXPECT_EQ(fake.openObjects, 2) << "the item and its data are closed; module and camera stay";
}

const BlockCase kBlockCases[] = {
    {"InOrder", {{0, 1000}, {1000, 1000}, {2000, 1000}}},
    // The block reaching the end comes first and is not the last; blocks overlap.
    {"OutOfOrderOverlapping", {{2000, 1000}, {0, 1500}, {1000, 1500}}},
    {"OneByteBlocksBackwards", [] {
       std::vector<Block> blocks;
       for (maid::ULONG i = kFileSize; i-- > 0;) blocks.push_back({i, 1});
       return blocks;
     }()},
    // Whatever StoredBytes says, the blocks size the file: not cut, not padded.
    {"StoredBytesTooSmall", {{0, 3000}}, 1000},
    {"StoredBytesTooLarge", {{0, 1500}, {1500, 1500}}, 9000},
    {"StoredBytesUnusable", {{0, 3000}}, 0},
    {"StoredBytesUnreadable", {{0, 3000}}, 0, 0, 0, true, kFileSize, kNkMAIDResult_NotSupported},
    // An absurd size is no size: not a 2 GB buffer of zeros behind the picture.
    {"StoredBytesAbsurd", {{0, 3000}}, 2147483000},
    {"TotalAbsurdStoredBytesSizes", {{0, 3000}}, kFileSize, 0, 0, true, 0x80000000u},
    {"NoUsableSizeAtAll", {{0, 3000}}, 0, 0, kDownloadNoFileSize, false, 0},
    {"BothSizesAbsurd", {{0, 3000}}, (1u << 30) + 1, 0, kDownloadNoFileSize, false, (1u << 30) + 1},
    // Blocks past the end (one wrapping around 32 bits), after the file is whole, without
    // data or not of the file change nothing in it.
    {"BlocksPastTheEndAndAfterTheFileIsWhole",
     {{0, 3000, kNotFileData}, {0, 3000, kNoData}, {0, 1000}, {2500, 1000, kJunk},
      {0xFFFFFF00u, 0x200, kJunk}, {1000, 2000}, {0, 3000, kJunk}, {4000, 10, kJunk}}},
    // The pair status, by its capability type; another type says nothing of a pair.
    {"PairStatusUnsigned", {{0, 3000}}, kFileSize, 0, 0, true, kFileSize, 0, kNkMAIDCapType_Unsigned, 1},
    {"PairStatusInteger", {{0, 3000}}, kFileSize, 0, 0, true, kFileSize, 0, kNkMAIDCapType_Integer, 1},
    {"PairStatusBoolean", {{0, 3000}}, kFileSize, 0, 0, true, kFileSize, 0, kNkMAIDCapType_Boolean, 0},
    // Holes: the camera ends the transfer with bytes missing.
    {"GapNeverFilled", {{0, 1000}, {2000, 1000}}, kFileSize, 0, kDownloadIncomplete},
    {"TailNeverSent", {{0, 1000}, {1000, 1999}}, kFileSize, 0, kDownloadIncomplete},
    {"NeededBlockReachesPastTheEnd", {{0, 2000}, {2000, 1001}}, kFileSize, 0, kDownloadIncomplete},
    {"StartNeverSent", {{1, 2999}}, kFileSize, 0, kDownloadIncomplete},
    // The camera reports the failure: its result is the code.
    {"CameraLostMidTransfer", {{0, 1000}}, kFileSize, kNkMAIDResult_CameraNotFound,
     kNkMAIDResult_CameraNotFound},
    {"TransferAborted", {{0, 1000}}, kFileSize, kNkMAIDResult_Aborted, kNkMAIDResult_Aborted},
    // Nothing sent at all: nothing was announced, yet the host hears of the lost picture.
    {"NoBlocks", {}, kFileSize, 0, kDownloadIncomplete, false},
};

INSTANTIATE_TEST_SUITE_P(Blocks, DownloadBlocksTest, ::testing::ValuesIn(kBlockCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Transfers that never reach their completion, one the camera will not start, and image data
// it will not open.
class DownloadWithoutCompletionTest : public DownloadBlocksTest {};

TEST_P(DownloadWithoutCompletionTest, TransferThatStopsIsReported) {
  // The module stops answering polls after the first blocks, without a completion.
  fake.completeOnAsync = false;
  fake.asyncResult = kNkMAIDResult_HardwareError;
  sendBlocks({{0, 1000}}, kFileSize);
  m_camera->onItemAdded(kItemId);
  auto messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->name->getString(), "objectWasAdded");
  EXPECT_EQ(messages[1]->name->getString(), "error");
  EXPECT_EQ(Number(Payload(*messages[1]), "error_code"), kDownloadNotEnded);
  EXPECT_EQ(Number(Payload(*messages[1]), "capture_id"), Number(Payload(*messages[0]), "capture_id"));
  EXPECT_TRUE(filesOnDisk().empty());

  // Nothing sent before it stopped: nothing announced, and still reported.
  m_camera->onItemAdded(kItemId);
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(Number(Payload(*messages[0]), "error_code"), kDownloadNotEnded);
  EXPECT_EQ(Number(Payload(*messages[0]), "capture_id"), -12345);

  // The whole file on disk, only the completion missing: the file is there, and said so.
  sendBlocks({{0, kFileSize}}, kFileSize);
  m_camera->onItemAdded(kItemId);
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1]->name->getString(), "fileDownloadComplete");
  EXPECT_EQ(ReadBytes(Text(Payload(*messages[1]), "file_path")).size(), kFileSize);

  // Another program takes the final name while the file transfers: neither file is lost.
  sendBlocks({{0, 1000}}, kFileSize);
  fake.onAsync.push_back([this] {
    for (const auto& name : filesOnDisk()) {
      const std::string part = ".part";
      if (name.size() > part.size() && name.compare(name.size() - part.size(), part.size(), part) == 0)
        std::ofstream(m_folder + "/" + name.substr(0, name.size() - part.size())) << "theirs";
    }
  });
  sendBlocks({{1000, kFileSize - 1000}}, kFileSize);
  m_camera->onItemAdded(kItemId);
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 2u);
  ASSERT_EQ(messages[1]->name->getString(), "fileDownloadComplete");
  const std::string taken = g_downloadDirectory + Text(Payload(*messages[0]), "file_name");
  EXPECT_NE(Text(Payload(*messages[1]), "file_path"), taken);
  EXPECT_EQ(ReadBytes(Text(Payload(*messages[1]), "file_path")).size(), kFileSize);
  EXPECT_EQ(ReadBytes(taken).size(), 6u) << "the other program's file is untouched";

  // A transfer the camera refuses to start: its result, nothing announced.
  fake.find({kCameraId, kItemId, kDataId})->caps[kNkMAIDCapability_Acquire].startResult =
      kNkMAIDResult_DeviceBusy;
  m_camera->onItemAdded(kItemId);
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->name->getString(), "error");
  EXPECT_EQ(Number(Payload(*messages[0]), "error_code"), kNkMAIDResult_DeviceBusy);

  // The module answers at last: the completions of the transfers given up on find nobody to
  // call, and nothing is reported twice.
  fake.completeOnAsync = true;
  fake.asyncResult = 0;
  m_module->callAsync();
  EXPECT_TRUE(TakeAll().empty());

  // Image data the camera will not open is a picture lost; an item without image data is not.
  fake.find({kCameraId, kItemId, kDataId})->openResult = kNkMAIDResult_UnexpectedError;
  m_camera->onItemAdded(kItemId);
  messages = TakeAll();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->name->getString(), "error");
  EXPECT_EQ(Number(Payload(*messages[0]), "error_code"), kNkMAIDResult_UnexpectedError);
  fake.find({kCameraId, kItemId})->caps[kNkMAIDCapability_DataTypes].value = 0;
  m_camera->onItemAdded(kItemId);
  EXPECT_TRUE(TakeAll().empty());
}

INSTANTIATE_TEST_SUITE_P(Stops, DownloadWithoutCompletionTest,
                         ::testing::Values(BlockCase{"Stops", {}}),
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
