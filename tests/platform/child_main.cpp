// The platform tests' entry: GoogleTest, or with --qb2-child one of the small child
// programs the tests start from their own executable.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tests/platform/platform_support.h"

namespace {
void Say(int stream, const std::string& bytes) { ConsoleWrite(stream, bytes.data(), bytes.size()); }

// Standard input until its end; 'k' ends the process at once, as a kill would.
std::string ReadInputToEnd() {
  std::string all;
  char buffer[256];
  for (int n; (n = ConsoleReadInput(buffer, sizeof buffer)) > 0;) {
    all.append(buffer, static_cast<size_t>(n));
    if (all.find('k') != std::string::npos) std::abort();
  }
  return all;
}

std::atomic<int> stops{0};
void CountStop() { stops.fetch_add(1); }

int RunChild(int argc, char** argv) {
  std::string mode = argv[2];
  if (mode == "echo" && argc >= 4) {  // echo <exit value> args...: see ChildEcho
    std::string out = std::string("T") + (StreamIsTerminal(1) ? '1' : '0') + (StreamIsTerminal(2) ? '1' : '0');
    out.push_back('\0');
    out += OwnProgramPath() + '\0';
    for (int i = 4; i < argc; ++i) out += std::string(argv[i]) + '\0';
    Say(1, out);
    Say(2, ReadInputToEnd());
    return std::atoi(argv[3]);
  }
  if (mode == "lock" && argc == 5) {  // lock <path> <holder text>: holds it until input ends
    FileHandle lock = FileTakeLock(argv[3]);
    if (!lock) {
      Say(1, "refused\n");
      return 3;
    }
    FileWrite(lock, argv[4], static_cast<int>(strlen(argv[4])));
    Say(1, "held\n");
    ReadInputToEnd();
    FileClose(lock);
    return 0;
  }
  if (mode == "lockwhole" && argc == 5) {  // lockwhole <path> <wait ms>: holds it until input ends
    FileHandle log = FileOpenForAppend(argv[3]);
    if (!FileLockWhole(log, static_cast<unsigned>(std::atoi(argv[4])))) {
      Say(1, "busy\n");
      return 4;
    }
    Say(1, "locked\n");
    ReadInputToEnd();
    FileUnlockWhole(log);
    FileClose(log);
    return 0;
  }
  if (mode == "stop") {  // two stop signals counted, the process goes on
    InstallStopHandler(CountStop, nullptr);
    std::raise(SIGINT);
    std::raise(SIGTERM);
    Say(1, "stops=" + std::to_string(stops.load()) + "\n");
    return 0;
  }
  Say(2, "unknown child mode\n");
  return 99;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], kChildFlag) == 0) return RunChild(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
