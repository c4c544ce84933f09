// The firmware download on QB2BENCH.EXE under Wine, with the file at the bench's
// fixed path inside the prefix: command 106 against the virtual unit, and the unit's
// program memory afterwards against the image qb2fw makes of the same file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "operator/ids.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"
#include "tests/win/dialog_fixture.h"

namespace {

using wintest::Since;

const char kFirmwareDir[] = "C:\\c_work\\km7200bench";
const char kFirmwareFile[] = "C:\\c_work\\km7200bench\\enc72.mot";

// S1 records of 16 bytes for [address, address + count), then S9.
std::string SRecords(const std::vector<std::pair<unsigned, unsigned>>& spans) {
  std::string out = "S00600004844521B\r\n";
  for (const auto& s : spans) {
    for (unsigned a = s.first; a < s.first + s.second; a += 16) {
      char line[64];
      unsigned sum = 19 + (a >> 8) + (a & 0xFF);
      int n = std::snprintf(line, sizeof line, "S113%04X", a);
      for (unsigned i = 0; i < 16; ++i) {
        unsigned b = ((a + i) * 13 + (a >> 7)) & 0xFF;
        sum += b;
        n += std::snprintf(line + n, sizeof line - n, "%02X", b);
      }
      std::snprintf(line + n, sizeof line - n, "%02X\r\n", ~sum & 0xFF);
      out += line;
    }
  }
  return out + "S9030000FC\r\n";
}

class DownloadWine : public wintest::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    CreateDirectoryA("C:\\c_work", nullptr);
    CreateDirectoryA(kFirmwareDir, nullptr);
    DeleteFileA(kFirmwareFile);
  }
  void TearDown() override {
    DialogTest::TearDown();
    DeleteFileA(kFirmwareFile);
    RemoveDirectoryA(kFirmwareDir);
    RemoveDirectoryA("C:\\c_work");
  }
};

TEST_F(DownloadWine, TheUnitsProgramMemoryEqualsQb2fwsImageInTheBlocks) {
  // Rows 1, 5 and 7 (row 5 from A080), and data outside the blocks that is never sent.
  wintest::WriteWholeFile(kFirmwareFile, SRecords({{0x3000, 0x100}, {0x4000, 0x80}, {0xA080, 0x180},
                                                   {0xE000, 0x80}, {0xF000, 0x80}}));
  const std::string fwImage = dir_ + "\\fw-image.bin";
  wintest::Process fw;
  ASSERT_TRUE(fw.Start(wintest::WinPath(wintest::Env("QB2_FW")), "image " + std::string(kFirmwareFile) + " " + fwImage, dir_));
  DWORD code = 99;
  ASSERT_TRUE(fw.WaitExit(20000, &code));
  ASSERT_EQ(code, 0u);

  const std::string dump = wintest::PortsDir() + "/unit7.program";
  DeleteFileA(wintest::WinPath(dump).c_str());
  StartBenchOnUnit("--pace --dump-program " + dump);
  // The bench asks before it replaces the unit's program: the file, its size, the port.
  PostMessageA(dialog_, WM_COMMAND, IDC_COMMAND2, 0);
  wintest::Box ask = wintest::WaitForMessageBox(p_.Id(), 5000);
  ASSERT_NE(ask.window, nullptr);
  const std::string size = std::to_string(wintest::ReadWholeFile(kFirmwareFile).size()) + " バイト";
  EXPECT_NE(ask.text.find(kFirmwareFile), std::string::npos) << ask.text;
  EXPECT_NE(ask.text.find(size), std::string::npos) << ask.text;
  EXPECT_NE(ask.text.find("COM7"), std::string::npos) << ask.text;
  EXPECT_FALSE(unit_.LogHas(" frame "));  // not even the boot-loader entry before the answer
  wintest::DismissBox(ask);
  ASSERT_TRUE(unit_.WaitLog("boot-loader left", 20000)) << unit_.Log();
  Sleep(200);  // the job's UM_JOIN_WORKER
  EXPECT_EQ(TextLines(),
            (std::vector<std::string>{"ﾌﾞﾛｯｸ消去 3000-33FF", "resp 06", "ﾌﾞﾛｯｸ消去 A080-BFFF", "resp 06",
                                      "ﾌﾞﾛｯｸ消去 E000-EFFF", "resp 06", "書込中", "書込3000", "書込3080",
                                      "書込a080", "書込a100", "書込a180", "書込e000"}));
  Close();

  std::string memory = StopUnitAndRead(dump, 65536);
  std::string image = wintest::ReadWholeFile(fwImage);
  ASSERT_EQ(image.size(), 65536u);
  ASSERT_EQ(memory.size(), 65536u);
  const unsigned blocks[][2] = {{0x3000, 0x400}, {0xA000, 0x2000}, {0xE000, 0x1000}};  // the ones with data
  for (const auto& b : blocks) EXPECT_TRUE(image.compare(b[0], b[1], memory, b[0], b[1]) == 0) << std::hex << b[0];
  EXPECT_NE(image.compare(0x4000, 0x80, memory, 0x4000, 0x80), 0);  // never sent
  EXPECT_EQ(unit_.Log().find("boot address 00 40"), std::string::npos);
  DeleteFileA(wintest::WinPath(dump).c_str());
}

TEST_F(DownloadWine, AMissingFileShowsTheBoxAndNoBootLoaderByte) {
  StartBenchOnUnit("");
  PostMessageA(dialog_, WM_COMMAND, IDC_COMMAND2, 0);
  wintest::Box box = wintest::WaitForMessageBox(p_.Id(), 5000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.caption, "KM7200");
  EXPECT_EQ(box.text, "Cannot read S-Format file.");
  wintest::DismissBox(box);
  Sleep(300);
  EXPECT_TRUE(unit_.LogHas("frame 1 code=0x70"));
  // The worker was joined: 106 works again, and is refused the same way.
  PostMessageA(dialog_, WM_COMMAND, IDC_COMMAND2, 0);
  box = wintest::WaitForMessageBox(p_.Id(), 5000);
  ASSERT_NE(box.window, nullptr);
  wintest::DismissBox(box);
  Sleep(300);
  // The host sent the two boot-enter frames and not one byte besides.
  std::string log = unit_.Log();
  size_t sent = 0, frames = 0;
  for (size_t at = log.find("H>D"); at != std::string::npos; at = log.find("H>D", at + 1)) {
    ++sent;
    if (log.compare(at, 25, "H>D 02 70 00 00 03 75 0D\n") == 0) ++frames;
  }
  EXPECT_EQ(sent, 2u) << log;
  EXPECT_EQ(frames, 2u) << log;
  Close();
}

}  // namespace
