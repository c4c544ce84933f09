// QB2LINK.EXE's entry: the line tool, which reports the unit's port and ends.
#include <windows.h>

#include "app/main_win32.h"
#include "operator/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  ProgramKind = kLineProgram;
  return RunMainDialog(instance, showCommand);
}
