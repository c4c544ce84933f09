// The qb2sim executable, run as a script would run it.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/sim/pty_client.h"

extern char** environ;

namespace qb2sim_test {
namespace {

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout

  int in = -1;   // its stdin, when asked for

  explicit Child(std::vector<std::string> args, bool pipeStdin = false) {
    args.insert(args.begin(), QB2SIM_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int p[2], q[2] = {-1, -1};
    if (pipe(p) != 0) return;
    if (pipeStdin && pipe(q) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    if (pipeStdin) {
      posix_spawn_file_actions_adddup2(&fa, q[0], 0);
      posix_spawn_file_actions_addclose(&fa, q[1]);
    }
    if (posix_spawn(&pid, QB2SIM_EXE, &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(p[1]);
    out = p[0];
    if (pipeStdin) {
      close(q[0]);
      in = q[1];
    }
  }
  ~Child() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
    if (in >= 0) close(in);
  }
  // Everything it writes until it closes stdout.
  std::string All(int timeoutMs) {
    std::string s;
    char buf[512];
    pollfd p{out, POLLIN, 0};
    ssize_t n;
    while (poll(&p, 1, timeoutMs) > 0 && (n = read(out, buf, sizeof buf)) > 0) s.append(buf, n);
    return s;
  }
  std::string Line(int timeoutMs) {
    std::string s;
    char c;
    pollfd p{out, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0 && read(out, &c, 1) == 1 && c != '\n') s += c;
    return s;
  }
  // Exit status, or -1 if it did not end in time.
  int Wait(int timeoutMs) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      usleep(10000);
    }
    return -1;
  }
};

std::string Slurp(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

class SimCli : public ::testing::Test {
 protected:
  std::string dir_ = ::testing::TempDir() + "qb2sim_cli_" + std::to_string(getpid());
  void SetUp() override { mkdir(dir_.c_str(), 0700); }
  void TearDown() override {
    for (const char* f : {"/com7", "/log", "/flash.in", "/flash.out", "/prog.out"})
      unlink((dir_ + f).c_str());
    rmdir(dir_.c_str());
  }
};

TEST_F(SimCli, HelpDocumentsOptionsLogFormatAndFaults) {
  Child c({"--help"});
  const std::string text = c.All(5000);
  EXPECT_EQ(c.Wait(5000), 0);
  for (const char* want : {"--link", "--seconds", "--log", "--pace", "--reply-delay", "--fault",
                           "--flash-file", "--dump-flash", "--dump-program", "--until-eof", "--stop-file", "H>D", "no-reply",
                           "split:pieces", "unplug:at", "boot-w-reply"})
    EXPECT_NE(text.find(want), std::string::npos) << want;

  Child bad({"--fault", "explode:now=1"});
  EXPECT_EQ(bad.Wait(5000), 2);
}

TEST_F(SimCli, ServesThroughTheLinkWithFaultsAndDumpsOnSigterm) {
  std::ofstream(dir_ + "/flash.in", std::ios::binary) << "QB2";
  Child c({"--link", dir_ + "/com7", "--log", dir_ + "/log", "--flash-file", dir_ + "/flash.in",
           "--dump-flash", dir_ + "/flash.out", "--dump-program", dir_ + "/prog.out", "--fault",
           "status:cmd=0x21,value=0x31,count=1"});
  const std::string slave = c.Line(10000);
  ASSERT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
  PtyClient host(dir_ + "/com7");
  ASSERT_TRUE(host.IsOpen());
  EXPECT_EQ(host.Request(0x21, {}), Frame('1', {}));
  EXPECT_EQ(host.Request(0x21, {}).size(), 13u);
  EXPECT_EQ(host.Request(0x50, {0x04, 0, 0, 0, 4, 0}), Frame('0', {'Q', 'B', '2', 0xFF}));
  EXPECT_EQ(host.Request(0x50, {0x84, 0x10, 0, 0, 0x00}), Frame('0', {}));

  kill(c.pid, SIGTERM);
  EXPECT_EQ(c.Wait(10000), 0);
  const std::string flash = Slurp(dir_ + "/flash.out");
  ASSERT_EQ(flash.size(), 0x20000u);
  EXPECT_EQ(flash.substr(0, 3), "QB2");
  EXPECT_EQ(flash[0x10], '\0');
  EXPECT_EQ(Slurp(dir_ + "/prog.out"), std::string(0x10000, '\xFF'));
  EXPECT_NE(Slurp(dir_ + "/log").find("D>H 02 31 00 00 03 36 0D"), std::string::npos);
  struct stat st;
  EXPECT_EQ(lstat((dir_ + "/com7").c_str(), &st), 0);  // its link is left in place,
  EXPECT_NE(stat((dir_ + "/com7").c_str(), &st), 0);   // dangling like an unplugged unit
}

TEST_F(SimCli, SecondsEndsTheRun) {
  Child c({"--seconds", "0.5", "--reply-delay", "10"});
  EXPECT_FALSE(c.Line(10000).empty());
  EXPECT_EQ(c.Wait(10000), 0);
}

TEST_F(SimCli, UntilEofServesUntilTheStarterClosesItsPipe) {
  Child c({"--until-eof", "--link", dir_ + "/com7"}, true);
  ASSERT_FALSE(c.Line(10000).empty());
  PtyClient host(dir_ + "/com7");
  ASSERT_TRUE(host.IsOpen());
  EXPECT_EQ(host.Request(0x61, {}), Frame('0', {}));
  EXPECT_EQ(c.Wait(300), -1);  // still serving while the pipe is open
  close(c.in);
  c.in = -1;
  EXPECT_EQ(c.Wait(10000), 0);
}

TEST_F(SimCli, StopFileEndsTheRunWhenItAppears) {
  const std::string stop = dir_ + "/log";  // any path the fixture cleans up
  Child c({"--stop-file", stop});
  ASSERT_FALSE(c.Line(10000).empty());
  EXPECT_EQ(c.Wait(300), -1);
  std::ofstream(stop) << "stop";
  EXPECT_EQ(c.Wait(10000), 0);
}

}  // namespace
}  // namespace qb2sim_test
