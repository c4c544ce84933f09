// The flash data image on its own: read from the current directory when a run
// starts, then written page by page to the virtual unit in state 41.
#include <sys/stat.h>

#include "device/commands.h"
#include "tests/sequence/sequence_fixture.h"

namespace {

class FlashImage : public SequenceOnUnit {
 protected:
  // Loads the image as a run's start does, then runs state 41 once on the open
  // link; the state it leaves.
  int Program(int32_t serial) {
    SequenceParams = &JobParams;
    SerialNumber = serial;
    SequenceState = SEQ_FLASH_IMAGE;
    SequenceTimer = 0;
    if (LoadFlashDataImage(DefaultFlashDataPath())) SequenceStep();
    return SequenceState.load();
  }
  std::vector<qb2sim::FrameRecord> Writes() {
    std::vector<qb2sim::FrameRecord> out;
    for (const qb2sim::FrameRecord& f : unit_->Frames())
      if (f.code == CMD_MEMORY && !f.payload.empty() && f.payload[0] == MEM_FLASH_WRITE) out.push_back(f);
    return out;
  }
  static uint32_t Address(const qb2sim::FrameRecord& f) {
    return f.payload[1] | (f.payload[2] << 8) | (f.payload[3] << 16);
  }
};

TEST_F(FlashImage, FileProblemsEachHaveTheirTokenAndSendNothing) {
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(1), SEQ_END_FAILED);  // no file: no size line
  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{"___FLASH_DATA_FILE_NOT_EXIST___"}));

  UiListReset(IDC_TRACE_LIST);
  WriteImage(Bytes());
  EXPECT_EQ(Program(1), SEQ_END_FAILED);
  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{"ファイルサイズ＝0", "___FLASH_DATA_FILE_NOT_READ___"}));

  // A directory by the image's name has a status but gives no bytes.
  UiListReset(IDC_TRACE_LIST);
  std::string image = dir_ + "/" + kFlashDataFileName;
  ASSERT_EQ(unlink(image.c_str()), 0);
  ASSERT_EQ(mkdir(image.c_str(), 0755), 0);
  EXPECT_EQ(Program(1), SEQ_END_FAILED);
  std::vector<std::string> lines = SequenceLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].compare(0, 16, "ファイルサイズ＝"), 0);  // 16 bytes in Shift-JIS
  EXPECT_EQ(lines[1], "___FLASH_DATA_FILE_READ_ERROR___");
  EXPECT_EQ(unit_->FrameCount(), 0u);
}

// The run erases 0x0000-0xFFFF: one byte more would be programmed onto flash that
// was never erased, so the image is refused before its first page.
TEST_F(FlashImage, AnImageLargerThanWhatWasErasedIsRefusedBeforeAnyPage) {
  Bytes image(0x10001, 0x00);
  WriteImage(image);
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(1), SEQ_END_FAILED);
  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{"ファイルサイズ＝65537", "___FLASH_DATA_FILE_TOO_LARGE___"}));
  EXPECT_EQ(unit_->FrameCount(), 0u);
}

TEST_F(FlashImage, AllBlankPagesSendNothingAndFinish) {
  WriteImage(Bytes(65536, 0xFF));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(1234), SEQ_APP_RESTART);
  EXPECT_EQ(SequenceTimer, 500);
  EXPECT_EQ(unit_->FrameCount(), 0u);
  EXPECT_EQ(SequenceLines(), (std::vector<std::string>{"ファイルサイズ＝65536", "フラッシュメモリ　データ書込み中",
                                                       "フラッシュメモリ　データ書込み 完了"}));
}

TEST_F(FlashImage, TheStampGoesOnlyIntoANonBlankPageAt0xE000) {
  Bytes image(0xE100, 0xFF);
  image[0x10] = 0x01;
  for (int i = 0; i < 8; ++i) image[0xE000 + i] = static_cast<unsigned char>(0xA0 + i);
  WriteImage(image);
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(-5), SEQ_APP_RESTART);  // taken as 4294967291
  std::vector<qb2sim::FrameRecord> w = Writes();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(Address(w[0]), 0x0000u);
  EXPECT_EQ(Address(w[1]), 0xE000u);
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xE000, flash.begin() + 0xE008),
            (Bytes{0xA0, 0xA1, 0xA2, 0xA3, 0x94, 0x96, 0x72, 0x91}));

  // A blank page at 0xE000 is skipped: no serial number at all.
  image.assign(0xE100, 0xFF);
  image[0xDF00] = 0x00;
  WriteImage(image);
  EXPECT_EQ(Program(1234), SEQ_APP_RESTART);
  w = Writes();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(Address(w[2]), 0xDF00u);
}

// A last part page is padded with erased bytes in memory: the device gets a whole
// page, and nothing past the copy is read.
TEST_F(FlashImage, APartPageIsPaddedWithErasedBytes) {
  Bytes image(300, 0x11);
  WriteImage(image);
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(1), SEQ_APP_RESTART);
  std::vector<qb2sim::FrameRecord> w = Writes();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(Address(w[1]), 0x100u);
  ASSERT_EQ(w[1].payload.size(), 260u);
  Bytes expected(256, 0xFF);
  std::fill(expected.begin(), expected.begin() + 44, 0x11);
  EXPECT_EQ(Bytes(w[1].payload.begin() + 4, w[1].payload.end()), expected);
  EXPECT_EQ(SequenceLines()[0], "ファイルサイズ＝300");
}

// A current directory longer than the 512 bytes the path starts with: the image is
// still found there (and not some file named by a cut path).
TEST_F(FlashImage, ADeepCurrentDirectoryStillFindsTheImage) {
  std::string deep = dir_;
  const std::string part(100, 'd');
  for (int i = 0; i < 6; ++i) {
    deep += "/" + part;
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  ASSERT_GT(deep.size(), 600u);
  ASSERT_EQ(chdir(deep.c_str()), 0);
  WriteFile(deep + "/" + kFlashDataFileName, Bytes(256, 0x22));
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Program(1), SEQ_APP_RESTART);
  EXPECT_EQ(Writes().size(), 1u);
  EXPECT_EQ(unit_->Flash()[0], 0x22);
}

}  // namespace
