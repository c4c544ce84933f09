#include "app/program.h"

int ProgramKind = kLineProgram;
