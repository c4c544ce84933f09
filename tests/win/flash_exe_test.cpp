// The flash jobs end to end under Wine on QB2BENCH.EXE against the virtual unit:
// a 128 KiB write, its read-back and an erase, compared with the unit's flash
// dump; a refused page with its box, during which the buttons do nothing; a
// read-only source file. And the bench in a technician's hands: a working folder
// whose Shift-JIS name ends in the byte 0x5C, commands pressed while a write runs,
// check box 302 ticked in the middle of a long write.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "operator/ids.h"
#include "ops/operations.h"
#include "tests/win/dialog_fixture.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"

namespace {

using wintest::ControlText;
using wintest::Since;

std::string Pattern(size_t n, unsigned seed) {
  std::string b(n, '\0');
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>((i * 7 + (i >> 8) + seed) % 251);  // never 0xFF
  return b;
}

class FlashExe : public wintest::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    dump_ = wintest::PortsDir() + "/flash.dump";
    DeleteFileA(wintest::WinPath(dump_).c_str());
  }
  // The bench in cwd (the scratch folder when empty) with COM7 opened by hand; the
  // unit writes its flash to dump_ when it stops.
  void StartBenchOnUnit(const std::string& unitArgs, const std::string& cwd = "") {
    DialogTest::StartBenchOnUnit("--dump-flash " + dump_ + " " + unitArgs, cwd);
  }
  void Boxes(const char* address, const char* size, const std::string& file) {
    SetDlgItemTextA(dialog_, IDC_FLASH_ADDR, address);
    SetDlgItemTextA(dialog_, IDC_FLASH_SIZE, size);
    SetDlgItemTextA(dialog_, IDC_FLASH_FILE, file.c_str());
  }
  // The unit's frame count so far, from its log.
  int Frames() {
    const std::string& log = unit_.Log();
    int n = 0;
    for (size_t at = log.find(" frame "); at != std::string::npos; at = log.find(" frame ", at + 1)) ++n;
    return n;
  }
  bool WaitFrames(int n, DWORD ms) {
    DWORD t = GetTickCount();
    while (Frames() < n && Since(t) < static_cast<long>(ms)) Sleep(20);
    return Frames() >= n;
  }
  // The read's file, once it holds size bytes and the job has let go of it.
  std::string WaitFile(const std::string& path, size_t size, DWORD ms) {
    DWORD t = GetTickCount();
    std::string s;
    do {
      s = wintest::ReadWholeFile(path);
      if (s.size() == size) return s;
      Sleep(20);
    } while (Since(t) < static_cast<long>(ms));
    return s;
  }

  // The unit's flash as it dumps it when it stops.
  std::string StopUnitAndDump() { return StopUnitAndRead(dump_, 0x20000); }

  std::string dump_;
};

TEST_F(FlashExe, WriteReadBackAndEraseMatchTheUnitsFlash) {
  StartBenchOnUnit("");
  const std::string data = Pattern(0x20000, 1);
  const std::string source = dir_ + "\\image.bin", back = dir_ + "\\back.bin", erased = dir_ + "\\erased.bin";
  wintest::WriteWholeFile(source, data);

  Boxes("0", "", source);
  Command(IDC_FLASH_WRITE);
  EXPECT_EQ(ControlText(dialog_, IDC_FLASH_SIZE), "131072");
  ASSERT_TRUE(WaitFrames(512, 60000)) << Frames();

  Boxes("0", "131072", back);
  // Pressed until the write's worker has been joined: before that it does nothing.
  DWORD t = GetTickCount();
  while (Frames() == 512 && Since(t) < 5000) {
    Command(IDC_FLASH_READ);
    Sleep(50);
  }
  ASSERT_TRUE(WaitFrames(1024, 60000)) << Frames();
  EXPECT_TRUE(WaitFile(back, data.size(), 10000) == data);

  // Erase the first 32 KiB (the erase loads its file too), then read it back.
  Boxes("0", "32768", source);
  t = GetTickCount();
  while (Frames() == 1024 && Since(t) < 5000) {
    Command(IDC_FLASH_ERASE);
    Sleep(50);
  }
  ASSERT_TRUE(WaitFrames(1025, 10000));
  Boxes("0", "32768", erased);
  t = GetTickCount();
  while (Frames() == 1025 && Since(t) < 5000) {
    Command(IDC_FLASH_READ);
    Sleep(50);
  }
  ASSERT_TRUE(WaitFrames(1025 + 128, 30000)) << Frames();
  EXPECT_TRUE(WaitFile(erased, 0x8000, 10000) == std::string(0x8000, '\xFF'));
  EXPECT_FALSE(wintest::WaitForMessageBox(p_.Id(), 200).window);  // no box on the way

  std::string dump = StopUnitAndDump();
  ASSERT_EQ(dump.size(), 0x20000u);
  EXPECT_TRUE(dump.substr(0, 0x8000) == std::string(0x8000, '\xFF'));
  EXPECT_TRUE(dump.substr(0x8000) == data.substr(0x8000));
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

TEST_F(FlashExe, ARefusedPageShowsItsBoxAndHoldsTheButtonsUntilConfirmed) {
  StartBenchOnUnit("--fault status:cmd=0x50,sub=0x84,nth=2,value=0x31");
  const std::string source = dir_ + "\\image.bin", back = dir_ + "\\back.bin";
  wintest::WriteWholeFile(source, Pattern(0x400, 2));
  Boxes("0", "", source);
  Command(IDC_FLASH_WRITE);
  wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 5000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.caption, "KM7200");
  EXPECT_EQ(box.text, "FLASH WRITE 異常");
  EXPECT_EQ(Frames(), 2);  // later pages are not sent

  // The job waits on its box: the buttons do nothing meanwhile.
  Boxes("0", "16", back);
  PostMessageA(dialog_, WM_COMMAND, IDC_FLASH_READ, 0);
  Sleep(300);
  EXPECT_EQ(Frames(), 2);
  EXPECT_FALSE(wintest::FileExists(back));

  wintest::DismissBox(box);
  DWORD t = GetTickCount();
  while (Frames() == 2 && Since(t) < 5000) {
    PostMessageA(dialog_, WM_COMMAND, IDC_FLASH_READ, 0);
    Sleep(50);
  }
  EXPECT_EQ(WaitFile(back, 16, 5000), Pattern(0x400, 2).substr(0, 16));
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

TEST_F(FlashExe, AReadOnlySourceFileGivesOpenError) {
  StartBenchOnUnit("");
  const std::string source = dir_ + "\\locked.bin";
  wintest::WriteWholeFile(source, Pattern(0x100, 3));
  ASSERT_TRUE(SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_READONLY));
  // Wine keeps the attribute as missing write bits, which do not stop root.
  HANDLE probe = CreateFileA(source.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    CloseHandle(probe);
    SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    PostMessageA(dialog_, WM_CLOSE, 0, 0);
    GTEST_SKIP() << "this Wine opens a read-only file for writing (run as root)";
  }
  for (int id : {IDC_FLASH_WRITE, IDC_FLASH_ERASE}) {
    Boxes("0", "", source);
    PostMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0);
    wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 5000);
    ASSERT_NE(box.window, nullptr);
    EXPECT_EQ(box.caption, "KM7200");
    EXPECT_EQ(box.text, "OPEN ERROR");
    EXPECT_EQ(ControlText(dialog_, IDC_FLASH_SIZE), "");
    wintest::DismissBox(box);
    Sleep(200);
  }
  EXPECT_EQ(Frames(), 0);
  SetFileAttributesA(source.c_str(), FILE_ATTRIBUTE_NORMAL);
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

// 検査表 is 8C 9F 8D B8 95 5C in Shift-JIS: the current directory ends in the trail
// byte 0x5C, and the image is still found in it.
TEST_F(FlashExe, EmStartFindsTheImageInAFolderNamedKensahyo) {
  const std::string folder = dir_ + "\\検査表";
  ASSERT_EQ(folder.back(), '\x5C');
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  std::string image(256, '\xFF');
  image[5] = 0x42;
  wintest::WriteWholeFile(folder + "\\Quillbeacon2FlashData.dat", image);
  StartBenchOnUnit("", folder);
  SetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, "00000001");
  SendMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
  DWORD t = GetTickCount();
  while (!HasLine("停止!!") && Since(t) < 15000) Sleep(50);
  EXPECT_TRUE(HasLine("ファイルサイズ＝256"));
  EXPECT_TRUE(HasLine("フラッシュメモリ　データ書込み 完了"));
  EXPECT_FALSE(HasLine("___FLASH_DATA_FILE_NOT_EXIST___"));
  EXPECT_TRUE(HasLine("___APP_RESTART___"));
  std::string flash = StopUnitAndDump();
  ASSERT_EQ(flash.size(), 0x20000u);
  EXPECT_EQ(flash[5], 0x42);
}

// 時計 S, 時計 R, ap-stop, ap-resume and the other commands pressed all through a
// 32 KiB write: none of them reaches the unit, and every page does.
TEST_F(FlashExe, CommandsPressedDuringAFlashWriteSendNothing) {
  StartBenchOnUnit("--reply-delay 3");
  const std::string data = Pattern(0x8000, 4);
  const std::string source = dir_ + "\\w.bin";
  wintest::WriteWholeFile(source, data);
  SetDlgItemTextA(dialog_, IDC_FLASH_ADDR, "0");
  SetDlgItemTextA(dialog_, IDC_FLASH_SIZE, "");
  SetDlgItemTextA(dialog_, IDC_FLASH_FILE, source.c_str());
  SendMessageA(dialog_, WM_COMMAND, IDC_FLASH_WRITE, 0);
  std::vector<int> presses;  // every operation that talks to the unit
  for (int i = 0; i < kOperationCount; ++i)
    if (kOperations[i].flags & OP_NEEDS_UNIT) presses.push_back(kOperations[i].id);
  int pressedWhileRunning = 0;
  DWORD t = GetTickCount();
  for (int frames = 0; frames < 120 && Since(t) < 30000; frames = Frames()) {
    for (int id : presses) SendMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0);
    ++pressedWhileRunning;
    Sleep(30);
  }
  EXPECT_GT(pressedWhileRunning, 3);
  ASSERT_TRUE(WaitFrames(128, 30000));
  Sleep(300);
  EXPECT_EQ(Frames(), 128);
  std::string log = unit_.Log();
  for (const char* code : {"code=0x20", "code=0x21", "code=0x60", "code=0x61", "code=0x70"})
    EXPECT_EQ(log.find(code), std::string::npos) << code;
  EXPECT_EQ(log.find("pre-stop byte"), std::string::npos);
  EXPECT_FALSE(wintest::WaitForMessageBox(p_.Id(), 200).window);
  std::string flash = StopUnitAndDump();
  ASSERT_EQ(flash.size(), 0x20000u);
  EXPECT_TRUE(flash.compare(0, 0x8000, data) == 0);
}

// Ticking 302 while the port is open winds the port down: the write is stopped
// between two pages and has ended before the port closes; the dialog answers at
// once instead of sitting in a ten-second join while the job writes on.
TEST_F(FlashExe, Ticking302DuringALongWriteStopsItBeforeThePortCloses) {
  StartBenchOnUnit("--pace --pace-host");  // 71 ms a page: 256 pages take 18 s
  const std::string source = dir_ + "\\long.bin";
  wintest::WriteWholeFile(source, Pattern(0x10000, 5));
  SetDlgItemTextA(dialog_, IDC_FLASH_ADDR, "0");
  SetDlgItemTextA(dialog_, IDC_FLASH_SIZE, "");
  SetDlgItemTextA(dialog_, IDC_FLASH_FILE, source.c_str());
  SendMessageA(dialog_, WM_COMMAND, IDC_FLASH_WRITE, 0);
  ASSERT_TRUE(WaitFrames(14, 5000));  // about a second into the write

  HWND box302 = GetDlgItem(dialog_, IDC_AUTO_RECOGNITION);
  SendMessageA(box302, BM_SETCHECK, BST_CHECKED, 0);
  int before = Frames();
  DWORD t = GetTickCount();
  SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(IDC_AUTO_RECOGNITION, BN_CLICKED), reinterpret_cast<LPARAM>(box302));
  long handledMs = Since(t);
  EXPECT_LT(handledMs, 1000);  // one page of 71 ms, and the join
  EXPECT_TRUE(unit_.WaitLog("host-close 1", 2000));
  Sleep(300);
  int after = Frames();
  EXPECT_LE(after - before, 2);
  EXPECT_LT(after, 100);
  EXPECT_TRUE(HasLine("FLASH WRITE 中断"));
  EXPECT_FALSE(wintest::WaitForMessageBox(p_.Id(), 200).window);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)));  // closed: the number box is free

  // The worker is gone: a new job starts on the reopened port.
  SendMessageA(box302, BM_SETCHECK, BST_UNCHECKED, 0);
  SendMessageA(dialog_, WM_COMMAND, MAKEWPARAM(IDC_AUTO_RECOGNITION, BN_CLICKED), reinterpret_cast<LPARAM>(box302));
  SendMessageA(dialog_, WM_COMMAND, IDC_OPEN, 0);
  ASSERT_TRUE(unit_.WaitLog("host-open 2", 3000));
  SetDlgItemTextA(dialog_, IDC_FLASH_SIZE, "256");
  SendMessageA(dialog_, WM_COMMAND, IDC_FLASH_WRITE, 0);
  EXPECT_TRUE(WaitFrames(after + 1, 3000));
}

// The next serial number is in QB2BENCH.INI the moment a run has succeeded: a
// bench killed right after the run (a crash, a power loss) starts with it.
// Settings typed in and kept by an ordinary close come back too.
TEST_F(FlashExe, TheSerialNumberSurvivesACrashAndTheSettingsARestart) {
  std::string image(256, '\x11');
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  StartBenchOnUnit("");
  SetDlgItemTextA(dialog_, IDC_SERIAL_NUMBER, "00000041");
  SendMessageA(dialog_, WM_COMMAND, IDC_EM_START, 0);
  DWORD t = GetTickCount();
  while (!HasLine("停止!!") && Since(t) < 15000) Sleep(50);
  ASSERT_TRUE(HasLine("___APP_RESTART___"));
  p_.Kill();  // no close: nothing more is saved

  wintest::Process again;
  ASSERT_TRUE(again.Start(wintest::BenchProgramPath(), "", dir_));
  HWND dialog = wintest::WaitForMainDialog(again.Id(), 5000);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ControlText(dialog, IDC_SERIAL_NUMBER), "00000042");
  EXPECT_EQ(ControlText(dialog, IDC_PORT_NUMBER), "7");  // saved with it

  SetDlgItemTextA(dialog, IDC_FLASH_ADDR, "4096");
  SetDlgItemTextA(dialog, IDC_LOG_FILE, "line.csv");
  SendDlgItemMessageA(dialog, IDC_VERIFY, BM_SETCHECK, BST_CHECKED, 0);
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  DWORD code = 99;
  ASSERT_TRUE(again.WaitExit(10000, &code));
  EXPECT_EQ(code, 0u);
  wintest::Process third;
  ASSERT_TRUE(third.Start(wintest::BenchProgramPath(), "", dir_));
  dialog = wintest::WaitForMainDialog(third.Id(), 5000);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ControlText(dialog, IDC_FLASH_ADDR), "4096");
  EXPECT_EQ(ControlText(dialog, IDC_LOG_FILE), "line.csv");
  EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_VERIFY, BM_GETCHECK, 0, 0), BST_CHECKED);
  EXPECT_EQ(ControlText(dialog, IDC_SERIAL_NUMBER), "00000042");
  third.Kill();
}

// The run log while a spreadsheet holds the file without sharing writes: the line
// waits and is said; once the file is free it goes in ahead of the next line.
TEST_F(FlashExe, TheLogKeepsItsLinesWhileAnotherProgramHoldsTheFile) {
  StartBenchOnUnit("");
  const std::string log = dir_ + "\\line.csv", source = dir_ + "\\w.bin";
  wintest::WriteWholeFile(source, Pattern(0x200, 6));
  SetDlgItemTextA(dialog_, IDC_LOG_FILE, log.c_str());
  HANDLE held = CreateFileA(log.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Boxes("0", "", source);
  Command(IDC_FLASH_WRITE);
  ASSERT_TRUE(WaitFrames(2, 5000));
  DWORD t = GetTickCount();
  auto said = [&] {
    for (const std::string& l : TextLines())
      if (l.find("ログファイルに書けません") == 0) return true;
    return false;
  };
  while (!said() && Since(t) < 5000) Sleep(50);
  EXPECT_TRUE(said());
  CloseHandle(held);

  Boxes("512", "", source);
  t = GetTickCount();
  while (Frames() == 2 && Since(t) < 5000) {
    Command(IDC_FLASH_WRITE);  // once the first job has been joined
    Sleep(50);
  }
  ASSERT_TRUE(WaitFrames(4, 5000));
  std::string text;
  t = GetTickCount();
  do {
    text = wintest::ReadWholeFile(log);
    Sleep(50);
  } while (std::count(text.begin(), text.end(), '\n') < 3 && Since(t) < 5000);
  EXPECT_EQ(text.compare(0, 62, "time,program,port,operation,serial,file,bytes,crc32,result,ms,"), 0) << text;
  size_t first = text.find(",QB2BENCH,COM7,flash-write,,"), second = text.find(",QB2BENCH,COM7,flash-write,,", first + 1);
  ASSERT_NE(first, std::string::npos) << text;
  ASSERT_NE(second, std::string::npos) << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
}

}  // namespace
