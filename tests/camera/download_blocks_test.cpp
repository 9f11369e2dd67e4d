// What a download makes of the blocks a camera sends, on the fake module: the file on disk and
// what the host is told, for blocks in any order or place, sizes that disagree, holes, breaks.

#include <algorithm>
#include <fstream>

#include "tests/camera/fake_module.h"

namespace {

namespace fs = std::filesystem;
using namespace simtest;

constexpr maid::ULONG kCameraId = 5;
constexpr maid::ULONG kItemId = 9;
constexpr maid::ULONG kDataId = 1;
constexpr maid::ULONG kFileSize = 3000;

// Junk: bytes not the file's; the next two are ignored; kNameTaken: another program takes the name.
enum BlockKind { kFileBytes, kJunk, kNotFileData, kNoData, kNameTaken };
struct Block {
  maid::ULONG start;
  maid::ULONG length;
  BlockKind kind = kFileBytes;
};

struct BlockCase {
  const char* name;
  std::vector<Block> blocks;
  std::string expected;                 // what the host hears, as Download() sums it up
  maid::NKERROR completion = 0;         // the transfer's completion result, or one of below
  maid::ULONG storedBytes = kFileSize;  // what StoredBytes answers
  maid::ULONG total = kFileSize;        // the blocks' total length
  maid::ULONG rawJpegType = 0;          // RawJpegImageStatus (1) listed with this type
};

// Transfers that go wrong without a completion.
constexpr maid::NKERROR kNeverCompletes = 1001;    // the module stops answering polls
constexpr maid::NKERROR kStartRefused = 1002;      // the camera will not start the transfer
constexpr maid::NKERROR kDataWontOpen = 1003;      // nor open the item's image data
constexpr maid::NKERROR kNoImageData = 1004;       // the item has none
constexpr maid::NKERROR kTypesUnreadable = 1005;   // nor will it say what data it has
constexpr maid::NKERROR kDiskFillsAtClose = 1006;  // every block is taken, the close falls short

void PrintTo(const BlockCase& c, std::ostream* out) { *out << c.name; }

unsigned char FileByte(std::size_t i) { return static_cast<unsigned char>(i * 7 + (i >> 8)); }

// A camera with one new item whose image data sends the queued blocks at the transfer's first
// poll and completes with the case's result (or goes wrong as it says).
class DownloadBlocksTest : public FakeModuleTest, public ::testing::WithParamInterface<BlockCase> {
 protected:
  void SetUp() override LB_ACQUIRE(g_sdkLock) {
    using C = CFakeCapability;
    const BlockCase& c = GetParam();
    auto data =
        CFakeObject::Make(kDataId, {{kNkMAIDCapability_StoredBytes, C::Unsigned(c.storedBytes)},
                                    {kNkMAIDCapability_Acquire, C::Process()}});
    if (c.completion == kStartRefused)
      data.caps[kNkMAIDCapability_Acquire].startResult = kNkMAIDResult_DeviceBusy;
    if (c.completion == kDataWontOpen) data.openResult = kNkMAIDResult_UnexpectedError;
    if (c.rawJpegType != 0)
      data.caps[kNkMAIDCapability_RawJpegImageStatus] = C::Unsigned(1, c.rawJpegType);
    const maid::ULONG types = c.completion == kNoImageData ? 0 : kNkMAIDDataObjType_Image;
    auto item =
        CFakeObject::Make(kItemId, {{kNkMAIDCapability_DataTypes, C::Unsigned(types)}}, {data});
    if (c.completion == kTypesUnreadable)
      item.caps[kNkMAIDCapability_DataTypes].getResult = kNkMAIDResult_UnexpectedError;
    fake.root = CFakeObject::Make(0, {}, {CFakeObject::Make(kCameraId, {}, {item})});
    FakeModuleTest::SetUp();
    m_folder = PrivateTempPath("lb_download_blocks");
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
    g_downloadDirectory = m_folder + "/";
    open();
    m_camera = module->adoptChild(std::make_unique<CCamera>(module.get(), kCameraId));
    DiscardOutgoingMessages();
  }
  void TearDown() override LB_RELEASE(g_sdkLock) {
    FakeModuleTest::TearDown();
    fs::remove_all(m_folder);
  }

  void sendBlocks(const std::vector<Block>& blocks, maid::ULONG total) {
    fake.onAsync.push_back([this, blocks, total] {
      for (const Block& block : blocks) {
        CFakeObject* data = fake.find({kCameraId, kItemId, kDataId});
        if (!data || !data->dataProc.pProc) return;
        if (block.kind == kNameTaken) {
          for (const auto& name : FilesIn(m_folder))
            if (fs::path(name).extension() == ".part")
              std::ofstream(m_folder + "/" + fs::path(name).stem().string()) << "theirs";
          continue;
        }
        std::vector<unsigned char> bytes(block.length);
        for (std::size_t i = 0; i < bytes.size(); ++i)
          bytes[i] = block.kind == kFileBytes ? FileByte(block.start + i) : 0xEE;
        maid::MaidDataInfo info{block.kind == kNotFileData ? 0u : kNkMAIDDataObjType_File,
                                kNkMAIDFileDataType_JPEG, total, block.start, block.length};
        // A module takes any other answer as a reason to abort the transfer.
        EXPECT_EQ(
            0, reinterpret_cast<maid::DataProc>(data->dataProc.pProc)(
                   data->dataProc.refProc, &info, block.kind == kNoData ? nullptr : bytes.data()));
      }
    });
  }

  // Downloads the item and sums up what the host heard ("announced [pair ]" then "whole
  // [elsewhere]" or "error <code>[: what is missing]"); a whole file is checked byte for byte,
  // and a failed one must leave nothing.
  std::string download() LB_REQUIRES(g_sdkLock) {
    std::vector<std::string> expectedFiles = FilesIn(m_folder);
    m_camera->onItemAdded(kItemId);
    bool delivering = false;
    for (int slice = 0; slice < 1000 && m_camera->step(kCameraSliceMs, delivering); ++slice) {
    }
    auto messages = TakeAll();
    EXPECT_EQ(fake.openObjects, 2) << "the item and its data are closed; module and camera stay";
    if (messages.empty()) return "nothing";
    std::string summary, fileName;
    double captureId = -12345;  // absent when never announced
    if (messages[0]->name->getString() == "objectWasAdded") {
      const ZnLuaTETable* added = Payload(*messages[0]);
      EXPECT_EQ(Number(added, "file_size"), kFileSize);  // the size the blocks make
      captureId = Number(added, "capture_id");
      fileName = Text(added, "file_name");
      summary = Number(added, "has_sidecar") == 1 ? "announced pair " : "announced ";
      messages.erase(messages.begin());
    }
    EXPECT_EQ(messages.size(), 1u) << "one outcome per file";
    if (messages.empty()) return summary + "no outcome";
    const ZnLuaTETable* outcome = Payload(*messages[0]);
    EXPECT_EQ(Number(outcome, "capture_id"), captureId);
    if (messages[0]->name->getString() == "fileDownloadComplete") {
      const std::string path = Text(outcome, "file_path");
      const auto bytes = ReadBytes(path);
      EXPECT_EQ(bytes.size(), kFileSize);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != FileByte(i)) return summary + "wrong byte at " + std::to_string(i);
      const bool elsewhere = path != g_downloadDirectory + fileName;
      expectedFiles.push_back(fs::path(path).filename().string());
      if (elsewhere) {  // another program's file, untouched
        expectedFiles.push_back(fileName);
        EXPECT_EQ(ReadBytes(g_downloadDirectory + fileName).size(), 6u);
      }
      std::sort(expectedFiles.begin(), expectedFiles.end());
      EXPECT_EQ(FilesIn(m_folder), expectedFiles) << "the file and no .part";
      return summary + (elsewhere ? "whole elsewhere" : "whole");
    }
    EXPECT_EQ(FilesIn(m_folder), expectedFiles) << "a failed download leaves nothing behind";
    const std::string description = Text(outcome, "error_description");
    summary += "error " + std::to_string(static_cast<int>(Number(outcome, "error_code")));
    const auto missing = description.find("ended the transfer with ");
    return missing == std::string::npos ? summary
                                        : summary + ": " + description.substr(missing + 24);
  }

  CCamera* m_camera = nullptr;
  std::string m_folder;
};

TEST_P(DownloadBlocksTest, FileIsWholeOrReportedFailed) {
  onCameraThread();
  const maid::NKERROR completion = GetParam().completion;
  fake.completionResult = completion < kNeverCompletes ? completion : 0;
  fake.completeOnAsync = completion != kNeverCompletes;
  fake.asyncResult = completion == kNeverCompletes ? kNkMAIDResult_HardwareError : 0;
  sendBlocks(GetParam().blocks, GetParam().total);
  {
    // Blocks smaller than the C runtime's buffer all go into it: only the close writes them.
    std::optional<CFileSizeLimit> fullDisk;
    if (completion == kDiskFillsAtClose) fullDisk.emplace(kFileSize / 3);
    EXPECT_EQ(download(), GetParam().expected);
  }
  if (GetParam().expected == "announced pair whole") {
    // The pair's second file takes its base name, kept off the first (both are JPEG here).
    sendBlocks({{0, kFileSize}}, kFileSize);
    EXPECT_EQ(download(), "announced pair whole");
  }
  // The module answers at last: a transfer given up on hears nothing, nothing is told twice.
  fake.completeOnAsync = true;
  fake.asyncResult = 0;
  module->callAsync();
  EXPECT_TRUE(TakeAll().empty());
}

constexpr const char* kWhole = "announced whole";
constexpr const char* kPairWhole = "announced pair whole";
// The host's documented codes, by number.
const std::string kIncomplete = "announced error -1006: ";

const BlockCase kBlockCases[] = {
    // The block at the end first but not last, then one touching both neighbours; again
    // inside what came before.
    {"OutOfOrderTouching", {{2000, 1000}, {0, 1500}, {1500, 500}}, kWhole},
    {"BlockAgainInsideAnother", {{0, 2000}, {500, 500}, {2000, 1000}}, kWhole},
    // Whatever StoredBytes says, the blocks size the file; an absurd size is no size.
    {"StoredBytesTooSmall", {{0, 3000}}, kWhole, 0, 1000},
    {"TotalAbsurdStoredBytesSizes", {{0, 3000}}, kWhole, 0, kFileSize, 0x80000000u},
    {"BothSizesAbsurd", {{0, 3000}}, "error -1001", 0, (1u << 30) + 1, (1u << 30) + 1},
    // Blocks past the end (one wrapping around), after the file is whole, or not its data.
    {"BlocksPastTheEndAndAfterTheFileIsWhole",
     {{0, 3000, kNotFileData},
      {0, 3000, kNoData},
      {0, 1000},
      {2500, 1000, kJunk},
      {0xFFFFFF00u, 0x200, kJunk},
      {1000, 2000},
      {0, 3000, kJunk},
      {4000, 10, kJunk}},
     kWhole},
    // The pair status (RawJpegImageStatus) by its type; another type says nothing of a pair.
    {"PairStatusInteger", {{0, 3000}}, kPairWhole, 0, 3000, 3000, kNkMAIDCapType_Integer},
    {"PairStatusBoolean", {{0, 3000}}, kWhole, 0, 3000, 3000, kNkMAIDCapType_Boolean},
    // Holes: the camera ends the transfer with bytes missing.
    {"GapNeverFilled",
     {{0, 1000}, {2000, 1000}},
     kIncomplete + "1000 of 3000 bytes missing, the first at offset 1000"},
    {"StartNeverSent", {{1, 2999}}, kIncomplete + "1 of 3000 bytes missing, the first at offset 0"},
    // The camera reports the failure: its result is the code.
    {"TransferAborted",
     {{0, 1000}},
     "announced error " + std::to_string(kNkMAIDResult_Aborted),
     kNkMAIDResult_Aborted},
    // Every byte came before it: the picture is whole, whatever the completion says.
    {"AbortedOnceWhole", {{0, 3000}}, kWhole, kNkMAIDResult_Aborted},
    // Another program takes the final name while the file transfers: neither file is lost.
    {"NameTakenMidTransfer",
     {{0, 1000}, {0, 0, kNameTaken}, {1000, 2000}},
     "announced whole elsewhere"},
    // Nothing sent at all: never announced, yet the host hears of the lost picture.
    {"NoBlocks", {}, "error -1006"},
    // The module stops answering: the picture is lost, unless every byte is already on disk.
    {"StopsAfterABlock", {{0, 1000}}, "announced error -1007", kNeverCompletes},
    {"StopsWhenWhole", {{0, 3000}}, kWhole, kNeverCompletes},
    // Image data not handed over is a picture lost; an item that will not say has a picture.
    {"StartRefused", {}, "error " + std::to_string(kNkMAIDResult_DeviceBusy), kStartRefused},
    {"DataWontOpen", {}, "error " + std::to_string(kNkMAIDResult_UnexpectedError), kDataWontOpen},
    {"NoImageData", {}, "nothing", kNoImageData},
    {"DataTypesUnreadable", {{0, 3000}}, kWhole, kTypesUnreadable},
    // The disk is full when the file is closed: no picture passed off as whole.
    {"DiskFillsAtClose",
     {{0, 1000}, {1000, 1000}, {2000, 1000}},
     "announced error -1004",
     kDiskFillsAtClose},
};

INSTANTIATE_TEST_SUITE_P(Blocks, DownloadBlocksTest, ::testing::ValuesIn(kBlockCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
