// sequence_drive PORT [idle]: drives QB2BENCH.EXE's dialog for the sequence figure under
// Wine. Opens COM<PORT>, sends em-start and prints, one a line:
//   clock-wait-cpu-start / clock-wait-cpu-end   2.5 s inside the 3 s clock wait,
//                                               during which it sends the dialog
//                                               nothing (the caller samples CPU)
//   stop SECONDS                                em-start to the stop line
// then closes the dialog. Exit 1 when the dialog or the run does not show up.
// With "idle" it only opens the port and prints the two CPU lines 2.5 s apart: the
// program's cost with the link up and no run, to set beside the clock wait's.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
HWND g_dialog;

std::string LastLine() {
  HWND list = GetDlgItem(g_dialog, 100);
  LRESULT n = SendMessageW(list, LB_GETCOUNT, 0, 0);
  if (n <= 0) return std::string();
  wchar_t w[2048] = L"";  // a trace line is under 150 characters
  LRESULT got = SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(n - 1), reinterpret_cast<LPARAM>(w));
  char out[4096];
  int len = WideCharToMultiByte(932, 0, w, got > 0 ? static_cast<int>(got) : 0, out, sizeof out, nullptr, nullptr);
  return std::string(out, static_cast<size_t>(len > 0 ? len : 0));
}

bool Starts(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }
}  // namespace

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "7";
  for (int i = 0; i < 1000 && !(g_dialog = FindWindowA("KM72BENCH", nullptr)); ++i) Sleep(10);
  if (!g_dialog) return 1;
  Sleep(300);
  SetDlgItemTextA(g_dialog, 103, port);
  SetDlgItemTextA(g_dialog, 304, "00000001");
  PostMessageA(g_dialog, WM_COMMAND, 101, 0);
  for (int i = 0; i < 300 && IsWindowEnabled(GetDlgItem(g_dialog, 103)); ++i) Sleep(10);
  Sleep(100);

  if (argc > 2 && std::strcmp(argv[2], "idle") == 0) {
    Sleep(200);
    std::printf("clock-wait-cpu-start\n");
    std::fflush(stdout);
    Sleep(2500);
    std::printf("clock-wait-cpu-end\nstop 0\n");
    std::fflush(stdout);
    PostMessageA(g_dialog, WM_CLOSE, 0, 0);
    return 0;
  }

  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t0);
  PostMessageA(g_dialog, WM_COMMAND, 107, 0);
  bool sampled = false;
  for (;;) {
    std::string line = LastLine();
    QueryPerformanceCounter(&t1);
    double s = static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(f.QuadPart);
    if (line == "停止!!") {
      std::printf("stop %.3f\n", s);
      break;
    }
    if (!sampled && Starts(line, "設定時刻")) {
      sampled = true;
      Sleep(200);
      std::printf("clock-wait-cpu-start\n");
      std::fflush(stdout);
      Sleep(2500);
      std::printf("clock-wait-cpu-end\n");
      std::fflush(stdout);
    }
    if (s > 120) return 1;
    Sleep(5);
  }
  std::fflush(stdout);
  PostMessageA(g_dialog, WM_CLOSE, 0, 0);
  return 0;
}
