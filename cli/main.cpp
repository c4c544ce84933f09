// QB2CLI's entry: a console program, on Windows and Linux alike.
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return RunCli(args);
}
