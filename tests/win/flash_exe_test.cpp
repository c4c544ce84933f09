// The flash jobs end to end under Wine on QB2BENCH.EXE against the virtual unit:
// a 128 KiB write, its read-back and an erase, compared with the unit's flash
// dump; a refused page with its box, during which the buttons do nothing; a
// read-only source file.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/ids.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"
#include "tests/win/dialog_fixture.h"

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

}  // namespace
