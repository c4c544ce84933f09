#include "tests/win/dialog_fixture.h"

#include "operator/ids.h"

namespace wintest {

void DialogTest::SetUp() {
  Unplug();
  dir_ = MakeScratchDir("exe");
  ASSERT_FALSE(dir_.empty());
}

void DialogTest::TearDown() {
  if (p_.Running()) p_.Kill();
}

void DialogTest::StartProgram(const std::string& program, const std::string& cwd) {
  ASSERT_TRUE(p_.Start(program, "", cwd.empty() ? dir_ : cwd));
  dialog_ = WaitForMainDialog(p_.Id(), 5000);
  ASSERT_NE(dialog_, nullptr);
}

void DialogTest::StartBenchOnUnit(const std::string& unitArgs, const std::string& cwd) {
  ASSERT_TRUE(unit_.Start(7, unitArgs));
  StartProgram(BenchProgramPath(), cwd);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(OpenCom7ByHand());
}

bool DialogTest::OpenCom7ByHand() {
  SetDlgItemTextA(dialog_, IDC_PORT_NUMBER, "7");
  PostMessageA(dialog_, WM_COMMAND, IDC_OPEN, 0);
  if (!unit_.WaitLog("host-open 1", 3000)) return false;
  DWORD t = GetTickCount();
  while (IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER)) && Since(t) < 3000) Sleep(2);
  return !IsWindowEnabled(GetDlgItem(dialog_, IDC_PORT_NUMBER));
}

void DialogTest::Command(int id) { SendMessageA(dialog_, WM_COMMAND, static_cast<WPARAM>(id), 0); }

bool DialogTest::WaitText(int id, const std::string& text, DWORD ms) {
  DWORD t = GetTickCount();
  while (ControlText(dialog_, id) != text && Since(t) < static_cast<long>(ms)) Sleep(2);
  return ControlText(dialog_, id) == text;
}

std::vector<std::string> DialogTest::TextLines() {
  std::vector<std::string> out;
  for (const std::string& l : ListLines(dialog_, IDC_TRACE_LIST))
    if (l.compare(0, 2, "T-") != 0 && l.compare(0, 2, "R-") != 0) out.push_back(l);
  return out;
}

bool DialogTest::HasLine(const std::string& text) {
  for (const std::string& l : TextLines())
    if (l == text) return true;
  return false;
}

std::string DialogTest::StopUnitAndRead(const std::string& path, size_t size) {
  unit_.Stop();
  std::string bytes;
  DWORD t = GetTickCount();
  do {
    bytes = ReadWholeFile(WinPath(path));
    if (bytes.size() == size) break;
    Sleep(20);
  } while (Since(t) < 3000);
  return bytes;
}

DWORD DialogTest::Close() {
  PostMessageA(dialog_, WM_CLOSE, 0, 0);
  DWORD code = 99;
  EXPECT_TRUE(p_.WaitExit(10000, &code)) << "still running ten seconds after its close";
  return code;
}

}  // namespace wintest
