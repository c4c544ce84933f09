// QB2BENCH.EXE's entry: the bench, the same dialog with its bench controls in view
// (its own template 100), no watchdog and no report; it ends when it is closed.
#include <windows.h>

#include "app/main_win32.h"
#include "operator/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  ProgramKind = kBenchProgram;
  return RunMainDialog(instance, showCommand);
}
