// QB2BENCH.EXE's dialog template, read out of the EXE: the same controls as
// QB2LINK.EXE's template (ids, classes, texts, styles), every one visible, and the
// bench's own verify box and progress bar, in groups that do not overlap, inside
// the dialog, in a tab order that follows the groups; and a trace list that shows
// a whole 134-character frame line.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "operator/ids.h"
#include "ops/operations.h"
#include "tests/win/dialog_template.h"
#include "tests/win/win_support.h"

namespace {

using Control = wintest::TemplateControl;
using Template = wintest::DialogTemplate;
using wintest::ReadDialogTemplate;

std::string Name(const Control& c) {
  std::string s = "id " + std::to_string(c.id) + " ";
  for (char16_t ch : c.text) s += ch < 128 ? static_cast<char>(ch) : '?';
  return s;
}

std::string Cp932(const std::u16string& text) {
  char out[256] = "";
  WideCharToMultiByte(932, 0, reinterpret_cast<const wchar_t*>(text.c_str()), -1, out, sizeof out, nullptr, nullptr);
  return out;
}

class BenchLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    line_ = new Template(ReadDialogTemplate(wintest::ProgramPath()));
    bench_ = new Template(ReadDialogTemplate(wintest::BenchProgramPath()));
  }
  static void TearDownTestSuite() {
    delete line_;
    delete bench_;
  }
  void SetUp() override {
    ASSERT_TRUE(line_->ok) << wintest::ProgramPath();
    ASSERT_TRUE(bench_->ok) << wintest::BenchProgramPath();
  }
  static Template* line_;
  static Template* bench_;
};
Template* BenchLayout::line_ = nullptr;
Template* BenchLayout::bench_ = nullptr;

TEST_F(BenchLayout, SameDialogClassAndFontWithItsOwnTitle) {
  EXPECT_EQ(bench_->style, line_->style);
  EXPECT_EQ(bench_->windowClass, u"KM72BENCH");  // one of the two programs per PC
  EXPECT_EQ(bench_->font, line_->font);
  EXPECT_EQ(bench_->pointSize, line_->pointSize);
  EXPECT_EQ(bench_->title, u"QB2BENCH.EXE ver2.1a (bench)");
  EXPECT_NE(bench_->title, line_->title);
}

TEST_F(BenchLayout, EveryControlOfTheLineTemplateIsThereAndVisible) {
  std::vector<bool> used(bench_->controls.size(), false);
  for (const Control& l : line_->controls) {
    SCOPED_TRACE(Name(l));
    int matches = 0;
    for (size_t i = 0; i < bench_->controls.size(); ++i) {
      const Control& b = bench_->controls[i];
      if (used[i] || b.id != l.id || b.cls != l.cls || b.text != l.text) continue;
      EXPECT_EQ(b.style & ~WS_VISIBLE, l.style & ~WS_VISIBLE);
      used[i] = true;
      ++matches;
      break;
    }
    EXPECT_EQ(matches, 1);
  }
  int benchOwn = 0;
  for (size_t i = 0; i < bench_->controls.size(); ++i) {
    const Control& b = bench_->controls[i];
    SCOPED_TRACE(Name(b));
    EXPECT_TRUE(b.style & WS_VISIBLE);
    if (used[i]) continue;
    // Anything else added is a frame or a label, never a control with a command
    // id, but for the bench's own: its operations, the verify box, the bar and
    // the result.
    const Operation* op = FindOperation(b.id);
    if (op) {
      EXPECT_TRUE(op->flags & OP_BENCH_ONLY);
      EXPECT_EQ(b.cls, u"#128");
      EXPECT_EQ(Cp932(b.text), op->label);
      ++benchOwn;
    } else if (b.id == IDC_RESULT) {
      EXPECT_EQ(b.cls, u"#130");
      ++benchOwn;
    } else if (b.id == IDC_VERIFY) {
      EXPECT_EQ(b.cls, u"#128");
      EXPECT_EQ(b.text, u"書込後照合");
      EXPECT_EQ(b.style & 0x0F, static_cast<DWORD>(BS_AUTOCHECKBOX));
      ++benchOwn;
    } else if (b.id == IDC_PROGRESS) {
      std::u16string cls = b.cls;  // class names are not case sensitive; windres writes them in capitals
      for (char16_t& ch : cls) ch = (ch >= u'A' && ch <= u'Z') ? static_cast<char16_t>(ch + 32) : ch;
      EXPECT_EQ(cls, u"msctls_progress32");
      ++benchOwn;
    } else {
      EXPECT_EQ(b.id, -1);
      EXPECT_TRUE(b.GroupBox() || b.cls == u"#130");
    }
  }
  int benchOnly = 0;
  for (int i = 0; i < kOperationCount; ++i) benchOnly += (kOperations[i].flags & OP_BENCH_ONLY) != 0;
  EXPECT_EQ(benchOwn, 3 + benchOnly);
}

TEST_F(BenchLayout, NoTwoControlsOverlapAndEveryOneIsInsideTheDialog) {
  const std::vector<Control>& cs = bench_->controls;
  for (size_t i = 0; i < cs.size(); ++i) {
    SCOPED_TRACE(Name(cs[i]));
    EXPECT_GT(cs[i].w, 0);
    EXPECT_GT(cs[i].h, 0);
    EXPECT_TRUE(cs[i].x >= 0 && cs[i].y >= 0 && cs[i].x + cs[i].w <= bench_->cx && cs[i].y + cs[i].h <= bench_->cy);
    for (size_t j = i + 1; j < cs.size(); ++j) {
      const Control &a = cs[i], &b = cs[j];
      if (a.GroupBox() && b.GroupBox()) {
        // Frames lie side by side, not inside one another.
        EXPECT_FALSE(a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h) << Name(b);
        continue;
      }
      if (a.GroupBox() || b.GroupBox()) continue;
      EXPECT_FALSE(a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h) << Name(b);
    }
  }
}

// The template order is the tab order: each frame comes first, then everything
// inside it, and no control sits in a frame other than the last one opened.
TEST_F(BenchLayout, TabOrderFollowsTheGroups) {
  const Control* open = nullptr;
  int frames = 0;
  for (const Control& c : bench_->controls) {
    SCOPED_TRACE(Name(c));
    if (c.GroupBox()) {
      open = &c;
      ++frames;
      continue;
    }
    for (const Control& g : bench_->controls) {
      if (g.GroupBox() && c.Inside(g)) {
        EXPECT_EQ(&g, open) << "inside a frame that is not the current one";
      }
    }
    if (open && !c.Inside(*open)) open = nullptr;  // left the frame: later controls stay outside it
  }
  EXPECT_EQ(frames, 5);  // port, detection, production, device, flash
}

INT_PTR CALLBACK QuietProc(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// Measured with the font the dialog really gets: the widest trace line, a frame
// line with its 64 bytes in hexadecimal, fits the list's client area.
TEST_F(BenchLayout, TheTraceListShowsAWhole134CharacterLine) {
  INITCOMMONCONTROLSEX common = {sizeof common, ICC_PROGRESS_CLASS};  // for the progress bar
  ASSERT_TRUE(InitCommonControlsEx(&common));
  HINSTANCE self = GetModuleHandleA(nullptr);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = DefDlgProcA;
  wc.cbWndExtra = DLGWINDOWEXTRA + 4;
  wc.hInstance = self;
  wc.lpszClassName = "KM72BENCH";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND dialog = CreateDialogIndirectParamA(self, reinterpret_cast<LPCDLGTEMPLATEA>(bench_->bytes.data()), nullptr,
                                           QuietProc, 0);
  ASSERT_NE(dialog, nullptr);
  HWND list = GetDlgItem(dialog, IDC_TRACE_LIST);
  ASSERT_NE(list, nullptr);
  RECT client;
  GetClientRect(list, &client);
  HDC dc = GetDC(list);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageA(list, WM_GETFONT, 0, 0)));
  std::string line = "R-512 " + std::string(128, 'F');
  ASSERT_EQ(line.size(), 134u);
  SIZE extent = {};
  ASSERT_TRUE(GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &extent));
  SelectObject(dc, old);
  ReleaseDC(list, dc);
  RECT frame;
  GetWindowRect(dialog, &frame);
  DestroyWindow(dialog);
  UnregisterClassA("KM72BENCH", self);
  EXPECT_LE(extent.cx + 4, client.right) << "line " << extent.cx << " px, list " << client.right << " px";
  // And the bench fits a 1920 x 1080 screen. (Wine's FixedSys is 10 pixels a
  // character where Windows' is 8, so on Windows it is a fifth smaller.)
  EXPECT_LE(frame.right - frame.left, 1920);
  EXPECT_LE(frame.bottom - frame.top, 1080);
  std::printf("[ figures  ] trace line %ld px in a %ld px list; dialog %ld x %ld px\n", extent.cx, client.right,
              frame.right - frame.left, frame.bottom - frame.top);
}

}  // namespace
