// QB2BENCH.INI over the in-memory dialog: values taken into their boxes, what is
// left out and said, and a file that is replaced whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "operator/ids.h"
#include "platform/ui.h"
#include "platform/ui_model.h"
#include "record/settings.h"
#include "tests/temp_dir.h"

namespace {

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("ini");
    ASSERT_FALSE(dir_.empty());
    path_ = dir_ + "/QB2BENCH.INI";
    UiModelReset();
    Defaults();
  }
  void TearDown() override {
    RemoveTempDir(dir_);
  }
  // What the dialog's initialisation puts in the boxes.
  static void Defaults() {
    UiSetText(IDC_PORT_NUMBER, "1");
    UiSetText(IDC_FLASH_ADDR, "0");
    UiSetText(IDC_FLASH_SIZE, "0");
    UiSetText(IDC_FLASH_FILE, "C:\\c_work\\km7200bench\\sound_adpcm.dat");
    UiSetText(IDC_WAIT_MS, "5000");
    UiSetCheck(IDC_VERIFY, 0);
  }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() {
    std::ifstream f(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  std::string dir_, path_;
};

TEST_F(Settings, WhatIsSavedComesBackAfterARestart) {
  UiSetText(IDC_PORT_NUMBER, "12");
  UiSetText(IDC_LOG_FILE, "検査表\\line.csv");
  UiSetText(IDC_FLASH_ADDR, "4096");
  UiSetText(IDC_FLASH_SIZE, "");
  UiSetText(IDC_FLASH_FILE, "image.bin");
  UiSetText(IDC_WAIT_MS, "2500");
  UiSetText(IDC_SERIAL_NUMBER, "00000042");
  UiSetCheck(IDC_VERIFY, 1);
  ASSERT_TRUE(SaveSettings(path_.c_str()));
  EXPECT_EQ(access((path_ + ".tmp").c_str(), F_OK), -1);  // the temporary file went in its place
  EXPECT_EQ(Read(),
            "[QB2BENCH]\r\nComPort=12\r\nLogFile=検査表\\line.csv\r\nFlashAddress=4096\r\nFlashSize=\r\n"
            "FlashFile=image.bin\r\nRecognitionWaitMs=2500\r\nSerialNumber=00000042\r\nVerifyAfterWrite=1\r\n");

  UiModelReset();  // the next start
  Defaults();
  EXPECT_EQ(LoadSettings(path_.c_str()), 8);
  EXPECT_EQ(UiModelText(IDC_PORT_NUMBER), "12");
  EXPECT_EQ(UiModelText(IDC_LOG_FILE), "検査表\\line.csv");
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "00000042");
  EXPECT_EQ(UiGetCheck(IDC_VERIFY), 1);
  EXPECT_TRUE(UiModelList(IDC_TRACE_LIST).empty());

  // Saved again: the old file is replaced, not added to.
  UiSetText(IDC_SERIAL_NUMBER, "00000043");
  ASSERT_TRUE(SaveSettings(path_.c_str()));
  std::string text = Read();
  EXPECT_NE(text.find("SerialNumber=00000043\r\n"), std::string::npos);
  EXPECT_EQ(text.find("00000042"), std::string::npos);
}

TEST_F(Settings, AMissingOrDamagedFileLeavesTheDefaults) {
  EXPECT_EQ(LoadSettings(path_.c_str()), 0);  // none yet
  EXPECT_TRUE(UiModelList(IDC_TRACE_LIST).empty());

  for (const std::string& damaged :
       {std::string("ComPort=7\r\nSerialNumber=00000099\r\n"),               // no section
        std::string("[QB2BENCH]\r\nComPort=7\r\nSerialNu\0\0\0\0", 34),     // cut, NULs after a crash
        std::string("[QB2BENCH]\r\nSerialNumber=00000099\r\nrubbish\r\n")}) {  // a line that is no pair
    UiModelReset();
    Defaults();
    Write(damaged);
    EXPECT_EQ(LoadSettings(path_.c_str()), 0);
    EXPECT_EQ(UiModelText(IDC_PORT_NUMBER), "1");
    EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "");
    ASSERT_EQ(UiModelList(IDC_TRACE_LIST).size(), 1u);
  }
}

// A value its box cannot take is left out and said; the others are taken.
TEST_F(Settings, AValueNotValidForItsBoxIsIgnoredWithATraceLine) {
  Write("[QB2BENCH]\r\nComPort=0\r\nFlashAddress=131073\r\nFlashSize=65536\r\nRecognitionWaitMs=-5\r\n"
        "SerialNumber=12ab\r\nVerifyAfterWrite=yes\r\nLogFile=a\tb\r\nFlashFile=new.bin\r\nUnknownKey=1\r\n");
  EXPECT_EQ(LoadSettings(path_.c_str()), 2);
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "65536");
  EXPECT_EQ(UiModelText(IDC_FLASH_FILE), "new.bin");
  EXPECT_EQ(UiModelText(IDC_PORT_NUMBER), "1");
  EXPECT_EQ(UiModelText(IDC_FLASH_ADDR), "0");
  EXPECT_EQ(UiModelText(IDC_WAIT_MS), "5000");
  EXPECT_EQ(UiModelText(IDC_SERIAL_NUMBER), "");
  EXPECT_EQ(UiGetCheck(IDC_VERIFY), 0);
  std::vector<std::string> trace = UiModelList(IDC_TRACE_LIST);
  ASSERT_EQ(trace.size(), 6u);
  EXPECT_EQ(trace[0], "設定 ComPort=0 は使えません: 既定値のまま");
  EXPECT_EQ(trace[4], "設定 VerifyAfterWrite=yes は使えません: 既定値のまま");

  // The serial number's bounds are those of a 32-bit number, as em-start reads it.
  std::vector<std::pair<std::string, bool>> serials = {
      {"2147483647", true}, {"2147483648", false}, {"-2147483648", true}, {"-0000004", true}, {"", false}};
  for (const auto& s : serials) {
    UiModelReset();
    Write("[QB2BENCH]\r\nSerialNumber=" + s.first + "\r\n");
    EXPECT_EQ(LoadSettings(path_.c_str()), s.second ? 1 : 0) << s.first;
  }
}

}  // namespace
