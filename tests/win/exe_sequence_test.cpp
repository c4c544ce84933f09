// em-start on the real EXEs against the virtual unit: on QB2LINK.EXE with a
// one-page flash data image, so the whole run (with its 3 s clock wait) ends well
// inside the watchdog's ten seconds; on QB2BENCH.EXE (no ten-second end) with a
// 64 KiB image of 256 pages, checked against the unit's flash afterwards.
#include <gtest/gtest.h>
#include <windows.h>

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
