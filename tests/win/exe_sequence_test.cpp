// em-start on the real EXE against the virtual unit: a one-page flash data image,
// so the whole run (with its 3 s clock wait) ends well inside the watchdog's ten
// seconds.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/ids.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"

namespace {

using wintest::Since;

class ExeSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    wintest::Unplug();  // no port watcher gets ahead of the test
    dir_ = wintest::MakeScratchDir("seq");
    ASSERT_FALSE(dir_.empty());
    std::string image(256, '\xFF');
    image[3] = 0x12;
    HANDLE f = CreateFileA((dir_ + "\\Quillbeacon2FlashData.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(f, image.data(), 256, &put, nullptr);
    CloseHandle(f);
    ASSERT_TRUE(unit_.Start(7));
    ASSERT_TRUE(p_.Start(wintest::ProgramPath(), "", dir_));
    dialog_ = wintest::WaitForMainDialog(p_.Id(), 5000);
    ASSERT_NE(dialog_, nullptr);
  }
  void TearDown() override {
    if (dialog_) PostMessageA(dialog_, WM_CLOSE, 0, 0);
    DWORD code = 99;
    EXPECT_TRUE(p_.WaitExit(10000, &code));
    EXPECT_EQ(code, 0u);
  }
  std::vector<std::string> SequenceLines() {
    std::vector<std::string> out;
    for (const std::string& l : wintest::ListLines(dialog_, IDC_TRACE_LIST))
      if (l.compare(0, 2, "T-") != 0 && l.compare(0, 2, "R-") != 0) out.push_back(l);
    return out;
  }

  std::string dir_;
  wintest::Unit unit_;
  wintest::Process p_;
  HWND dialog_ = nullptr;
};

TEST_F(ExeSequence, EmStartProgramsAOnePageImageAndHandsTheUnitOver) {
  SetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, "00000041");
  SetDlgItemTextA(dialog_, IDC_PORT_NUMBER, "7");
  PostMessageA(dialog_, WM_COMMAND, IDC_OPEN, 0);
  ASSERT_TRUE(unit_.WaitLog("host-open 1", 3000));
  PostMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
  DWORD t = GetTickCount();
  std::vector<std::string> lines;
  while (Since(t) < 7000) {
    lines = SequenceLines();
    if (!lines.empty() && lines.back() == "停止!!") break;
    Sleep(20);
  }
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "開始!!");
  EXPECT_EQ(lines[1].compare(0, 10, "設定時刻  "), 0) << lines[1];
  EXPECT_EQ(lines[2].compare(0, 10, "取得時刻  "), 0) << lines[2];
  EXPECT_EQ(lines[3], "ファイルサイズ＝256");
  EXPECT_EQ(lines[4], "フラッシュメモリ　データ書込み中");
  EXPECT_EQ(lines[5], "フラッシュメモリ　データ書込み 完了");
  EXPECT_EQ(lines[6], "___APP_RESTART___");
  EXPECT_EQ(lines[7], "停止!!");

  char serial[32] = {0};
  GetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, serial, sizeof serial);
  EXPECT_STREQ(serial, "00000042");
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));  // closed by the run
  EXPECT_TRUE(unit_.WaitLog("host-close 1", 2000));
  EXPECT_TRUE(unit_.LogHas("pre-stop byte"));
  EXPECT_TRUE(unit_.LogHas("frame 9 code=0x50 len=260"));  // the one page
  EXPECT_TRUE(unit_.LogHas("frame 10 code=0x61"));          // the restart
  EXPECT_FALSE(unit_.LogHas("frame 11 "));
}

}  // namespace
