// The dialog template and window class exactly as a calling script's PC gets them:
// the template is read from QB2LINK.EXE itself and parsed field by field.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/main_win32.h"
#include "operator/ids.h"
#include "tests/win/dialog_template.h"
#include "tests/win/win_support.h"

namespace {

struct Item {
  uint32_t style;
  int16_t x, y, w, h;
  int id;  // -1 for 0xFFFF
  std::u16string cls, text;
};

// Predefined classes are stored as atoms.
const std::u16string kButton = u"#128", kEdit = u"#129", kStatic = u"#130", kListBox = u"#131";
const uint32_t kChild = WS_CHILD, kBorder = WS_BORDER, kTab = WS_TABSTOP, kGroup = WS_GROUP;
const uint32_t kEditStyle = kChild | kBorder | kTab | ES_AUTOHSCROLL;
const uint32_t kPush = kChild | kTab | BS_PUSHBUTTON;

const std::vector<Item> kExpected = {
    {kChild | kBorder | WS_VSCROLL | kTab | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 7, 3, 126, 9, 100, kListBox, u""},
    {kChild | kGroup, 40, 29, 13, 8, -1, kStatic, u"COM"},
    {kEditStyle, 6, 26, 30, 14, 103, kEdit, u""},
    {kPush, 17, 25, 32, 14, 101, kButton, u"open"},
    {kPush, 31, 27, 32, 14, 102, kButton, u"close"},
    {kChild | kGroup, 54, 28, 29, 8, -1, kStatic, u"ﾛｸﾞﾌｧｲﾙ"},
    {kEditStyle, 7, 28, 48, 14, 104, kEdit, u""},
    {kChild | BS_GROUPBOX, 18, 2, 82, 19, -1, kButton, u"Flash IN / OUT"},
    {kEditStyle, 58, 26, 36, 14, 200, kEdit, u""},
    {kEditStyle, 81, 24, 38, 14, 201, kEdit, u""},
    {kChild | kGroup, 74, 27, 23, 8, -1, kStatic, u"addr"},
    {kChild | kGroup, 64, 33, 23, 8, -1, kStatic, u"size"},
    {kEditStyle, 49, 22, 54, 12, 202, kEdit, u""},
    {kChild | kGroup, 49, 28, 18, 8, -1, kStatic, u"file"},
    {kPush, 70, 27, 22, 14, 203, kButton, u"write"},
    {kPush, 92, 25, 22, 14, 204, kButton, u"read"},
    {kPush, 91, 23, 22, 14, 205, kButton, u"erase"},
    {kPush, 68, 23, 33, 14, 206, kButton, u"時計 S"},
    {kPush, 83, 24, 33, 14, 207, kButton, u"時計 R"},
    {kPush, 39, 24, 33, 14, 208, kButton, u"ﾘｽﾄｸﾘｱ"},
    {kPush, 40, 28, 38, 6, 107, kButton, u"em-start"},
    {kPush, 72, 29, 38, 11, 108, kButton, u"em-stop"},
    {kPush, 44, 32, 38, 11, 109, kButton, u"ap-stop"},
    {kPush, 48, 26, 38, 11, 110, kButton, u"ap-resume"},
    {kPush, 78, 26, 50, 14, 105, kButton, u"ｺﾏﾝﾄﾞ1"},
    {kPush, 30, 24, 50, 14, 106, kButton, u"ｺﾏﾝﾄﾞ2"},
    {WS_VISIBLE | kEditStyle | ES_READONLY, 12, 11, 116, 12, 300, kEdit, u""},
    {kEditStyle | ES_NUMBER, 11, 28, 65, 12, 301, kEdit, u""},
    {kChild | kGroup, 8, 30, 118, 9, 303, kStatic, u"COM認識待ち時間(単位：ミリ秒)"},
    {kChild | kTab | BS_AUTOCHECKBOX, 21, 30, 82, 9, 302, kButton, u"自動認識ON/OFF"},
    {kEditStyle, 14, 28, 56, 12, 304, kEdit, u""},
};

TEST(DialogTemplate, MatchesTheLayoutOfTheProgram) {
  std::string exe = wintest::ProgramPath();
  ASSERT_FALSE(exe.empty()) << "QB2_EXE is not set";
  wintest::DialogTemplate t = wintest::ReadDialogTemplate(exe);
  ASSERT_TRUE(t.found) << "no Japanese dialog 100 in " << exe;
  ASSERT_TRUE(t.ok);

  EXPECT_EQ(t.style, 0x80CA00C0u);  // WS_POPUP|WS_CAPTION|WS_SYSMENU|WS_MINIMIZEBOX|DS_MODALFRAME|DS_SETFONT
  EXPECT_EQ(t.exStyle, 0u);         // no extended style: a plain template
  EXPECT_EQ(t.count, 31);
  EXPECT_EQ(t.x, 100);
  EXPECT_EQ(t.y, 100);
  EXPECT_EQ(t.cx, 139);
  EXPECT_EQ(t.cy, 48);
  EXPECT_EQ(t.menu, u"");  // no menu
  EXPECT_EQ(t.windowClass, u"KM72BENCH");
  EXPECT_EQ(t.title, u"QB2LINK.EXE ver2.1a");
  EXPECT_EQ(t.pointSize, 14);
  EXPECT_EQ(t.font, u"FixedSys");

  ASSERT_EQ(t.controls.size(), kExpected.size());
  for (size_t i = 0; i < kExpected.size(); ++i) {
    const Item& e = kExpected[i];
    const wintest::TemplateControl& c = t.controls[i];
    SCOPED_TRACE("control #" + std::to_string(i + 1) + " id " + std::to_string(e.id));
    EXPECT_EQ(c.style, e.style);
    EXPECT_EQ(c.exStyle, 0u);
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.w, e.w);
    EXPECT_EQ(c.h, e.h);
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.cls, e.cls);
    EXPECT_EQ(c.text, e.text);
  }
}

TEST(DialogTemplate, ProgramHasIcon100) {
  HMODULE module = LoadLibraryExA(wintest::ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(IDI_MAIN), reinterpret_cast<LPCSTR>(RT_GROUP_ICON)), nullptr);
  FreeLibrary(module);
}

TEST(DialogClass, RegistersEveryFieldOfTheClass) {
  HINSTANCE self = GetModuleHandleA(nullptr);
  UnregisterClassA("KM72BENCH", self);
  ASSERT_NE(RegisterMainClass(self), 0);
  WNDCLASSA wc;
  ASSERT_TRUE(GetClassInfoA(self, "KM72BENCH", &wc));
  EXPECT_EQ(wc.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(reinterpret_cast<void*>(wc.lpfnWndProc), reinterpret_cast<void*>(DefDlgProcA));
  EXPECT_EQ(wc.cbClsExtra, 0);
  EXPECT_EQ(wc.cbWndExtra, 34);
  EXPECT_NE(wc.hIcon, nullptr);
  EXPECT_EQ(wc.hCursor, LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW)));
  EXPECT_EQ(wc.hbrBackground, reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)));
  EXPECT_EQ(wc.lpszMenuName, nullptr);
  UnregisterClassA("KM72BENCH", self);
}

}  // namespace
