// QB2BENCH.INI as editors and crashes leave it: what is taken, what is said, what
// is kept aside, and the bench's boxes saved and read back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "app/bench_settings.h"
#include "operator/ids.h"
#include "platform/ui.h"
#include "platform/ui_model.h"
#include "record/settings.h"
#include "tests/temp_dir.h"

namespace {

SettingsText Parse(const std::string& bytes) {
  SettingsText t;
  ParseSettingsText(bytes, &t);
  return t;
}

// Saved by Notepad with a byte-order mark, edited by hand: every good value is
// taken on its own, and one stray line costs only itself.
TEST(SettingsText, ReadAsEditorsWriteIt) {
  const std::string bom = "\xEF\xBB\xBF";
  SettingsText t = Parse(bom + "; line 3\n[QB2BENCH]\r\n  SerialNumber = 00012346  \n# comment\n\nthis is no pair\r\n"
                               "LogFile=\xE6\xA4\x9C\xE6\x9F\xBB\xE8\xA1\xA8\\line.csv\n[Other]\nComPort=3\n");
  EXPECT_TRUE(t.isSettings);
  EXPECT_FALSE(t.serialUnreadable);
  ASSERT_TRUE(t.values.given[SET_SERIAL]);
  EXPECT_EQ(t.values.value[SET_SERIAL], "00012346");
  EXPECT_EQ(t.values.value[SET_LOG_FILE], "検査表\\line.csv");  // the UTF-8 value in Shift-JIS
  EXPECT_FALSE(t.values.given[SET_COM_PORT]);                   // another program's section
  ASSERT_EQ(t.problems.size(), 1u);
  EXPECT_EQ(t.problems[0], "設定ファイルの 6 行目は読めません: this is no pair");

  // Without a mark the file is Shift-JIS; keys before any section are the bench's.
  t = Parse("serialnumber=00000007\r\nLogFile=検査表\\a.csv\r\n");
  EXPECT_TRUE(t.isSettings);
  EXPECT_EQ(t.values.value[SET_SERIAL], "00000007");
  EXPECT_EQ(t.values.value[SET_LOG_FILE], "検査表\\a.csv");
  // Today's Notepad saves UTF-8 without a mark: ログ.csv, not 繝ｭ繧ｰ.csv.
  t = Parse("[QB2BENCH]\r\nLogFile=\xE3\x83\xAD\xE3\x82\xB0.csv\r\n");
  EXPECT_EQ(t.encoding, SETTINGS_UTF8);
  EXPECT_EQ(t.values.value[SET_LOG_FILE], "ログ.csv");
  // A value with no Shift-JIS form is refused, and says so (café: é).
  t = Parse("\xEF\xBB\xBF[QB2BENCH]\r\nLogFile=caf\xC3\xA9.csv\r\n");
  EXPECT_FALSE(t.values.given[SET_LOG_FILE]);
  EXPECT_TRUE(t.rejected[SET_LOG_FILE]);
}

// The line's keys: a connection string that cannot be taken is said without its
// password, and a lease bound given twice leaves the lease used up (its numbers
// unused), never one of the two taken.
TEST(SettingsText, TheLinesKeysKeepTheirSecretAndTheirLease) {
  SettingsText t = Parse("[QB2BENCH]\r\nDatabase=Driver={X};PWD=s3cret;Server=\x01\r\nDatabase=PWD=s3cret;" +
                         std::string(1100, 'x') + "\r\nLeaseNext=00000010\r\nLeaseEnd=00000020\r\n"
                         "LeaseNext=00000015\r\nStation=st1\r\nLeaseSize=0\r\n");
  EXPECT_FALSE(t.values.given[SET_DATABASE]);
  ASSERT_EQ(t.problems.size(), 4u);
  EXPECT_EQ(t.problems[0], "設定ファイルの 2 行目は読めません: Database=Driver={X};PWD=***;Server=?");
  EXPECT_EQ(t.problems[1].find(" Database=PWD=***;xxx"), 4u) << t.problems[1];
  EXPECT_FALSE(t.values.given[SET_LEASE_NEXT]);
  EXPECT_EQ(t.values.value[SET_LEASE_END], "00000020");
  EXPECT_EQ(t.values.value[SET_STATION], "st1");
  EXPECT_FALSE(t.values.given[SET_LEASE_SIZE]);
}

// Only the keys written change, in place and in the file's own encoding: an
// engineer's comments, other programs' sections, unknown keys, the order, the
// byte-order mark and the line ends stay as they were; a new key joins the section.
TEST(SettingsText, AWriteChangesOnlyItsOwnLines) {
  SettingsValues changes;
  changes.given[SET_SERIAL] = true;
  changes.value[SET_SERIAL] = "00000101";
  changes.given[SET_LOG_FILE] = true;
  changes.value[SET_LOG_FILE] = "ログ.csv";
  const std::string bom = "\xEF\xBB\xBF";
  const std::string before = bom + "; station 3, set up by K.\n[Other]\nSerialNumber=5\n[QB2BENCH]\n"
                                   "Unknown=x\n  serialnumber = 00000100 ; last\nComPort=7\n\n[Tail]\nA=1";
  std::string after;
  ASSERT_TRUE(UpdateSettingsText(before, changes, &after));
  EXPECT_EQ(after, bom + "; station 3, set up by K.\n[Other]\nSerialNumber=5\n[QB2BENCH]\nUnknown=x\n"
                         "SerialNumber=00000101\nComPort=7\nLogFile=\xE3\x83\xAD\xE3\x82\xB0.csv\n\n[Tail]\nA=1");
  // Shift-JIS with CRLF and no section: the keys before any section are the bench's.
  ASSERT_TRUE(UpdateSettingsText("ComPort=7\r\n", changes, &after));
  EXPECT_EQ(after, "ComPort=7\r\nLogFile=ログ.csv\r\nSerialNumber=00000101\r\n");
  // A value the file's encoding cannot carry is not written at all.
  changes.value[SET_LOG_FILE] = std::string("\x81", 1);
  EXPECT_FALSE(UpdateSettingsText(bom + "[QB2BENCH]\n", changes, &after));
}

// A number that cannot be read is never guessed at: not a bad value, not one of
// two. An empty one, which the bench saves before any was typed, is no problem.
TEST(SettingsText, ASerialNumberThatCannotBeReadIsNotTaken) {
  // The unit holds eight digits: a sign or a ninth digit would be stamped as another
  // number (100000000 alone says that none is left).
  for (const char* bad : {"12ab", "-1", "+5", "100000001", "2147483648", "1 2", "00000042\nSerialNumber=00000041"}) {
    SettingsText t = Parse(std::string("[QB2BENCH]\nSerialNumber=") + bad + "\n");
    EXPECT_TRUE(t.serialUnreadable) << bad;
    EXPECT_FALSE(t.values.given[SET_SERIAL]) << bad;
  }
  SettingsText t = Parse("[QB2BENCH]\nSerialNumber=\nSerialNumber=99999999\n");
  EXPECT_FALSE(t.serialUnreadable);
  EXPECT_EQ(t.values.value[SET_SERIAL], "99999999");
  EXPECT_TRUE(t.problems.empty());
  t = Parse("[QB2BENCH]\nSerialNumber=\n");
  EXPECT_FALSE(t.serialUnreadable);
  EXPECT_FALSE(t.values.given[SET_SERIAL]);
}

class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("ini");
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(chdir(dir_.c_str()), 0);  // the bench's counter is QB2BENCH.INI of its folder
    path_ = dir_ + "/QB2BENCH.INI";
    UiModelReset();
  }
  void TearDown() override { RemoveTempDir(dir_); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string dir_, path_;
};

// A file that holds no settings at all (saved as UTF-16, something else by that
// name) is kept under a new name, an earlier one never replaced.
TEST_F(SettingsFile, ADamagedFileIsKeptAndNeverOverwritten) {
  const std::string utf16("\xFF\xFE[\0Q\0B\0", 8);
  SettingsText t;
  std::string kept;
  Write(utf16);
  EXPECT_EQ(ReadSettingsFile(path_.c_str(), &t, &kept), SETTINGS_DAMAGED);
  EXPECT_EQ(kept, path_ + ".bad");
  Write("just some text\n");
  EXPECT_EQ(ReadSettingsFile(path_.c_str(), &t, &kept), SETTINGS_DAMAGED);
  EXPECT_EQ(kept, path_ + ".bad2");
  EXPECT_EQ(ReadFileBytes(path_ + ".bad"), utf16);
  EXPECT_EQ(ReadFileBytes(path_ + ".bad2"), "just some text\n");
  EXPECT_EQ(access(path_.c_str(), F_OK), -1);
  EXPECT_EQ(ReadSettingsFile(path_.c_str(), &t, &kept), SETTINGS_MISSING);

  // Large is not damaged: a serial number after 70 KiB of comments is read.
  Write(std::string(70 * 1024, ';') + "\n[QB2BENCH]\nSerialNumber=00000005\n");
  EXPECT_EQ(ReadSettingsFile(path_.c_str(), &t, &kept), SETTINGS_READ);
  EXPECT_EQ(t.values.value[SET_SERIAL], "00000005");
}

// The bench's boxes: saved and read back; a box too long to hold whole keeps the
// value the file had, so a cut name never reaches the file. Box 304 is never put
// back: the number is the counter's, which the command line may have counted on.
TEST_F(SettingsFile, TheBoxesComeBackAfterARestartButNeverTheNumber) {
  Write("[QB2BENCH]\r\nSerialNumber=00000101\r\n");
  UiSetText(IDC_PORT_NUMBER, "12");
  UiSetText(IDC_LOG_FILE, "検査表\\line.csv");
  UiSetText(IDC_FLASH_ADDR, "4096");
  UiSetText(IDC_FLASH_SIZE, "");
  UiSetText(IDC_FLASH_FILE, "image.bin");
  UiSetText(IDC_WAIT_MS, "2500");
  UiSetText(IDC_SERIAL_NUMBER, "00000100");
  UiSetCheck(IDC_VERIFY, 1);
  ASSERT_TRUE(SaveSettings(path_.c_str()));
  EXPECT_EQ(access((path_ + ".tmp").c_str(), F_OK), -1);  // the temporary file went in its place
  EXPECT_EQ(ReadFileBytes(path_),
            "[QB2BENCH]\r\nSerialNumber=00000101\r\nComPort=12\r\nLogFile=検査表\\line.csv\r\nFlashAddress=4096\r\n"
            "FlashSize=\r\nFlashFile=image.bin\r\nRecognitionWaitMs=2500\r\nVerifyAfterWrite=1\r\n");

  UiSetText(IDC_LOG_FILE, (std::string(300, 'L') + ".csv").c_str());
  ASSERT_TRUE(SaveSettings(path_.c_str()));

  UiModelReset();  // the next start
  EXPECT_EQ(LoadSettings(path_.c_str()), 8);
  EXPECT_EQ(UiModelText(IDC_LOG_FILE), "検査表\\line.csv");
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000101");
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");
  EXPECT_EQ(UiGetCheck(IDC_VERIFY), 1);
  EXPECT_TRUE(StartNotice().empty());
}

}  // namespace
