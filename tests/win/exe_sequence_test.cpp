// em-start on the real EXEs against the virtual unit: on QB2LINK.EXE with a
// one-page flash data image, so the whole run (with its 3 s clock wait) ends well
// inside the watchdog's ten seconds; on QB2BENCH.EXE (no ten-second end) with a
// 64 KiB image of 256 pages, checked against the unit's flash afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "operator/ids.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"
#include "tests/win/dialog_fixture.h"

namespace {

using wintest::Since;

class ExeSequence : public wintest::DialogTest {
 protected:
  // Writes the image into the scratch folder and starts the unit and the program.
  void Launch(const std::string& program, const std::string& image, const std::string& unitArgs = "") {
    wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
    ASSERT_TRUE(unit_.Start(7, unitArgs));
    StartProgram(program);
  }
  // Opens COM7 and sends em-start; true once the stop line is the last trace line.
  bool RunEmStart(const char* serial, DWORD timeoutMs) {
    SetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, serial);
    if (!OpenCom7ByHand()) return false;
    PostMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
    DWORD t = GetTickCount();
    while (Since(t) < static_cast<long>(timeoutMs)) {
      std::vector<std::string> lines = TextLines();
      if (!lines.empty() && lines.back() == "停止!!") return true;
      Sleep(20);
    }
    return false;
  }
  void TearDown() override {
    if (dialog_) {
      EXPECT_EQ(Close(), 0u);
    }
    DialogTest::TearDown();
  }
};

TEST_F(ExeSequence, EmStartProgramsAOnePageImageAndHandsTheUnitOver) {
  std::string image(256, '\xFF');
  image[3] = 0x12;
  Launch(wintest::ProgramPath(), image);
  ASSERT_TRUE(RunEmStart("00000041", 7000));
  std::vector<std::string> lines = TextLines();
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

namespace {

// QB2BENCH.EXE: the same dialog without the ten-second end, so a whole 64 KiB image
// fits. 256 pages, none blank; the unit's flash is compared with the image and its
// stamp after the run.
class BenchSequence : public ExeSequence {};

TEST_F(BenchSequence, EmStartProgramsA64KiBImageWithTheSerialNumberStamped) {
  std::string image;
  for (int k = 0; k < 256; ++k) {
    image += '\0';
    image += std::string(255, static_cast<char>(k));
  }
  std::string dump = wintest::PortsDir() + "/seq-flash.bin";
  DeleteFileA(wintest::WinPath(dump).c_str());
  Launch(wintest::WinPath(wintest::Env("QB2_BENCH_EXE")), image, "--dump-flash " + dump);
  ASSERT_TRUE(RunEmStart("00001234", 60000));
  std::vector<std::string> lines = TextLines();
  ASSERT_GE(lines.size(), 3u);  // the list keeps the newest 200 lines: the start has gone
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
            (std::vector<std::string>{"フラッシュメモリ　データ書込み 完了", "___APP_RESTART___", "停止!!"}));
  char serial[32] = {0};
  GetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, serial, sizeof serial);
  EXPECT_STREQ(serial, "00001235");
  EXPECT_TRUE(unit_.WaitLog("host-close 1", 2000));
  EXPECT_TRUE(unit_.LogHas("frame 264 code=0x50 len=260"));  // the 256th page
  EXPECT_TRUE(unit_.LogHas("frame 265 code=0x61"));

  std::string flash = StopUnitAndRead(dump, 131072);  // the unit writes its flash on the way out
  ASSERT_EQ(flash.size(), 131072u);
  std::string stamped = image;
  stamped.replace(0xE004, 4, std::string("\x00\x00\x12\x34", 4));
  EXPECT_TRUE(flash.compare(0, 65536, stamped) == 0);
  EXPECT_EQ(flash.substr(65536), std::string(65536, '\xFF'));
}

}  // namespace

namespace {

// The line's serial number through an editor, a restart and a failure: a
// QB2BENCH.INI saved by Notepad (byte-order mark, blanks) and held open by the
// editor is read; em-start stamps its number and says 合格; the restarted bench
// takes up the next number; a run without its image says 不合格 in words, with a
// box, and sends nothing.
TEST_F(BenchSequence, TheSerialNumberSurvivesAnEditorARestartAndAFailedRun) {
  std::string image(0xE100, '\xFF');
  image[0x10] = 0x01;
  for (int i = 0; i < 256; ++i) image[0xE000 + i] = static_cast<char>(0x40 + i % 7);
  const std::string ini = dir_ + "\\QB2BENCH.INI";
  wintest::WriteWholeFile(ini, "\xEF\xBB\xBF[QB2BENCH]\r\n  SerialNumber = 00012346  \r\n");
  HANDLE editor = CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(editor, INVALID_HANDLE_VALUE);
  std::string dump = wintest::PortsDir() + "/serial-flash.bin";
  DeleteFileA(wintest::WinPath(dump).c_str());
  const std::string bench = wintest::WinPath(wintest::Env("QB2_BENCH_EXE"));
  Launch(bench, image, "--dump-flash " + dump);
  CloseHandle(editor);
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_SERIAL_NUMBER), "00012346");

  auto emStart = [&] {
    if (!OpenCom7ByHand()) return false;
    PostMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
    DWORD t = GetTickCount();
    while (Since(t) < 15000) {
      std::vector<std::string> lines = TextLines();
      if (!lines.empty() && lines.back() == "停止!!") return true;
      Sleep(20);
    }
    return false;
  };
  ASSERT_TRUE(emStart());
  EXPECT_TRUE(WaitText(IDC_RESULT, "合格 S/N 00012346", 2000)) << wintest::ControlText(dialog_, IDC_RESULT);
  EXPECT_EQ(wintest::WaitForMessageBox(p_.Id(), 300).window, nullptr);
  ASSERT_EQ(Close(), 0u);

  StartProgram(bench);
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_SERIAL_NUMBER), "00012347");
  DeleteFileA((dir_ + "\\Quillbeacon2FlashData.dat").c_str());
  const size_t logBefore = unit_.Log().size();
  ASSERT_TRUE(emStart());
  const std::string failed = "不合格: 書込みデータファイルがありません";
  wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 3000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.text, failed);
  wintest::DismissBox(box);
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_RESULT), failed);
  // The bar in red (Wine keeps no error state, only the colour).
  EXPECT_EQ(SendMessageA(GetDlgItem(dialog_, IDC_PROGRESS), PBM_GETBARCOLOR, 0, 0), static_cast<LRESULT>(RGB(0xD0, 0, 0)));
  EXPECT_TRUE(HasLine("___FLASH_DATA_FILE_NOT_EXIST___"));
  EXPECT_EQ(wintest::ControlText(dialog_, IDC_SERIAL_NUMBER), "00012347");
  EXPECT_TRUE(unit_.LogHas("host-open 2"));
  EXPECT_EQ(unit_.Log().find(" frame ", logBefore), std::string::npos);  // nothing sent for the failed run
  EXPECT_EQ(unit_.Log().find("pre-stop", logBefore), std::string::npos);

  std::string flash = StopUnitAndRead(dump, 131072);
  ASSERT_EQ(flash.size(), 131072u);
  EXPECT_EQ(flash.substr(0xE004, 4), std::string("\x00\x01\x23\x46", 4));
}

}  // namespace
