// Native builds only: where the POSIX port layer finds COM ports. Port n is the
// device node or symbolic link "<directory>/comN" (as Wine's dosdevices names them).
#pragma once
#include <string>

void SetPosixPortDirectory(const std::string& directory);
std::string PosixPortPath(int portNumber);
