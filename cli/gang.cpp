// Several units at once: placeholder until the gang is built.
#include "cli/cli.h"

int RunGang(const CliOptions&, const std::vector<std::string>&) {
  Say(2, "QB2CLI: one port at a time");
  return EXIT_USAGE;
}
