#include "operator/program.h"

int ProgramKind = kLineProgram;
