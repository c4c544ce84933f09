// QB2LINK.EXE itself under Wine, seen from another process as a calling script and
// an operator would see it: start-up state, single instance, close, keys.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "operator/ids.h"
#include "tests/win/win_support.h"

namespace {

using wintest::ControlText;

// "USBを接続してください。" in code page 932.
const std::string kPlugInSjis = "USB\x82\xf0\x90\xda\x91\xb1\x82\xb5\x82\xc4\x82\xad\x82\xbe\x82\xb3\x82\xa2\x81\x42";

class ExeShell : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = wintest::MakeScratchDir("shell");
    ASSERT_FALSE(dir_.empty());
  }
  HWND Launch(wintest::Process& p, const std::string& args = "") {
    EXPECT_TRUE(p.Start(wintest::ProgramPath(), args, dir_)) << wintest::ProgramPath();
    HWND dialog = wintest::WaitForMainDialog(p.Id(), 10000);
    EXPECT_NE(dialog, nullptr);
    return dialog;
  }
  bool NoResultFile() {
    return !wintest::FileExists(dir_ + "\\QB2LINK.OK") && !wintest::FileExists(dir_ + "\\QB2LINK.ERR");
  }
  std::string dir_;
};

struct Child {
  int id;
  std::string cls;
  bool visible;
};

BOOL CALLBACK CollectChild(HWND c, LPARAM l) {
  char cls[64] = "";
  GetClassNameA(c, cls, sizeof cls);
  reinterpret_cast<std::vector<Child>*>(l)->push_back(
      Child{static_cast<int>(static_cast<short>(GetDlgCtrlID(c))), cls, IsWindowVisible(c) != FALSE});
  return TRUE;
}

TEST_F(ExeShell, StartsWithItsDefaultsAndOnlyTheStatusLineVisible) {
  wintest::Process p;
  HWND dialog = Launch(p);
  ASSERT_NE(dialog, nullptr);

  char title[128] = "";
  GetWindowTextA(dialog, title, sizeof title);
  EXPECT_STREQ(title, "QB2LINK.EXE ver2.1a");
  EXPECT_EQ(ControlText(dialog, IDC_STATUS_LINE), kPlugInSjis);
  EXPECT_EQ(ControlText(dialog, IDC_WAIT_MS), "5000");
  EXPECT_EQ(ControlText(dialog, IDC_PORT_NUMBER), "1");
  EXPECT_EQ(ControlText(dialog, IDC_FLASH_ADDR), "0");
  EXPECT_EQ(ControlText(dialog, IDC_FLASH_SIZE), "0");
  std::string file = ControlText(dialog, IDC_FLASH_FILE);
  ASSERT_GE(file.size(), 16u);
  EXPECT_EQ(file.substr(file.size() - 16), "\\sound_adpcm.dat");
  EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_AUTO_RECOGNITION, BM_GETCHECK, 0, 0), BST_UNCHECKED);

  std::vector<Child> children;
  EnumChildWindows(dialog, CollectChild, reinterpret_cast<LPARAM>(&children));
  const std::vector<std::pair<int, const char*>> expected = {
      {100, "ListBox"}, {-1, "Static"},  {103, "Edit"},   {101, "Button"}, {102, "Button"}, {-1, "Static"},
      {104, "Edit"},    {-1, "Button"},  {200, "Edit"},   {201, "Edit"},   {-1, "Static"},  {-1, "Static"},
      {202, "Edit"},    {-1, "Static"},  {203, "Button"}, {204, "Button"}, {205, "Button"}, {206, "Button"},
      {207, "Button"},  {208, "Button"}, {107, "Button"}, {108, "Button"}, {109, "Button"}, {110, "Button"},
      {105, "Button"},  {106, "Button"}, {300, "Edit"},   {301, "Edit"},   {303, "Static"}, {302, "Button"},
      {304, "Edit"}};
  ASSERT_EQ(children.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(children[i].id, expected[i].first) << "control #" << i + 1;
    EXPECT_EQ(children[i].cls, expected[i].second) << "control #" << i + 1;
    EXPECT_EQ(children[i].visible, expected[i].first == IDC_STATUS_LINE) << "control #" << i + 1;
  }
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  DWORD code = 99;
  ASSERT_TRUE(p.WaitExit(10000, &code));
  EXPECT_EQ(code, 0u);
}

TEST_F(ExeShell, ASecondStartEndsAtOnceWithZero) {
  wintest::Process first;
  HWND dialog = Launch(first);
  ASSERT_NE(dialog, nullptr);

  std::string otherDir = wintest::MakeScratchDir("second");
  wintest::Process second;
  ASSERT_TRUE(second.Start(wintest::ProgramPath(), "", otherDir));
  DWORD code = 99;
  ASSERT_TRUE(second.WaitExit(5000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(wintest::MainDialogs().size(), 1u);
  EXPECT_FALSE(wintest::FileExists(otherDir + "\\QB2LINK.OK"));
  EXPECT_FALSE(wintest::FileExists(otherDir + "\\QB2LINK.ERR"));
  EXPECT_TRUE(first.Running());

  PostMessageA(dialog, WM_CLOSE, 0, 0);
  ASSERT_TRUE(first.WaitExit(10000, &code));
  EXPECT_EQ(code, 0u);
}

TEST_F(ExeShell, ClosingEndsWithZeroAndNoResultFile) {
  for (int viaSystemMenu = 0; viaSystemMenu < 2; ++viaSystemMenu) {
    wintest::Process p;
    HWND dialog = Launch(p);
    ASSERT_NE(dialog, nullptr);
    if (viaSystemMenu)
      PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the caption's close button
    else
      PostMessageA(dialog, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(p.WaitExit(10000, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(NoResultFile());
  }
}

TEST_F(ExeShell, CommandLineArgumentsChangeNothing) {
  const int ids[] = {IDC_STATUS_LINE, IDC_WAIT_MS, IDC_PORT_NUMBER, IDC_FLASH_ADDR, IDC_FLASH_SIZE, IDC_FLASH_FILE};
  std::vector<std::string> plain, withArgs;
  for (int run = 0; run < 2; ++run) {
    wintest::Process p;
    HWND dialog = Launch(p, run ? "COM3 /port 9 --wait=100 \"QB2LINK.OK\"" : "");
    ASSERT_NE(dialog, nullptr);
    for (int id : ids) (run ? withArgs : plain).push_back(ControlText(dialog, id));
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    DWORD code = 99;
    ASSERT_TRUE(p.WaitExit(10000, &code));
    EXPECT_EQ(code, 0u);
  }
  EXPECT_EQ(plain, withArgs);
}

TEST_F(ExeShell, EnterAndEscDoNothing) {
  wintest::Process p;
  HWND dialog = Launch(p);
  ASSERT_NE(dialog, nullptr);
  HWND status = GetDlgItem(dialog, IDC_STATUS_LINE);
  // Through the message loop, where the dialog manager turns them into commands 1 and 2.
  for (HWND target : {dialog, status}) {
    for (WPARAM key : {VK_RETURN, VK_ESCAPE}) {
      PostMessageA(target, WM_KEYDOWN, key, 1);
      PostMessageA(target, WM_CHAR, key == VK_RETURN ? '\r' : 27, 1);
      PostMessageA(target, WM_KEYUP, key, 0xC0000001);
    }
  }
  PostMessageA(dialog, WM_COMMAND, IDOK, 0);
  PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  Sleep(500);
  EXPECT_TRUE(p.Running());
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(ControlText(dialog, IDC_STATUS_LINE), kPlugInSjis);
  EXPECT_TRUE(NoResultFile());
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  DWORD code = 99;
  ASSERT_TRUE(p.WaitExit(10000, &code));
  EXPECT_EQ(code, 0u);
}

}  // namespace
