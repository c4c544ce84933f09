#include "operator/program.h"

int ProgramKind = kLineProgram;

const char* const kProgramVersion = "2.1a";
