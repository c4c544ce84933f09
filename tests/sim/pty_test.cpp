// The pty side: the kernel behaviour open detection rests on, the link, host
// opens and closes, unplug and replug, raw bytes and the log.
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/sim/pty_client.h"

namespace qb2sim_test {
namespace {

short MasterEvents(int m) {
  pollfd p{m, POLLIN, 0};
  poll(&p, 1, 0);
  return p.revents;
}

// If this changes, the unit's host-open detection has to change with it.
TEST(SimPtyKernel, MasterHangsUpOnlyOnceASlaveWasOpenedAndAllAreClosed) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(m, 0);
  ASSERT_EQ(grantpt(m), 0);
  ASSERT_EQ(unlockpt(m), 0);
  const std::string slave = ptsname(m);
  EXPECT_FALSE(MasterEvents(m) & POLLHUP);  // never opened: no hang-up yet
  int s = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(s, 0);
  EXPECT_FALSE(MasterEvents(m) & POLLHUP);
  close(s);
  EXPECT_TRUE(MasterEvents(m) & POLLHUP);
  s = open(slave.c_str(), O_RDWR | O_NOCTTY);
  EXPECT_FALSE(MasterEvents(m) & POLLHUP);
  close(s);
  close(m);
}

class SimPty : public ::testing::Test {
 protected:
  std::string dir_ = ::testing::TempDir() + "qb2sim_pty_" + std::to_string(getpid());
  std::string link_ = dir_ + "/com7";
  void SetUp() override { mkdir(dir_.c_str(), 0700); }
  void TearDown() override {
    unlink(link_.c_str());
    unlink((dir_ + "/log").c_str());
    unlink((dir_ + "/file").c_str());
    rmdir(dir_.c_str());
  }
  std::string Target() {
    char t[256] = {};
    return readlink(link_.c_str(), t, sizeof t - 1) > 0 ? t : "";
  }
  static bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
  }
};

TEST_F(SimPty, CountsHostOpensAndClosesThroughTheLink) {
  qb2sim::Options o;
  o.linkPath = link_;
  qb2sim::VirtualUnit unit(o);
  ASSERT_TRUE(unit.Start()) << unit.LastError();
  EXPECT_EQ(Target(), unit.SlavePath());
  EXPECT_FALSE(unit.HostHasOpen());
  for (int i = 1; i <= 3; ++i) {
    PtyClient host(link_);
    ASSERT_TRUE(unit.WaitForHostOpen(true, 2000));
    EXPECT_EQ(unit.OpenCount(), i);
    host.Close();
    ASSERT_TRUE(unit.WaitForHostOpen(false, 2000));
    EXPECT_EQ(unit.CloseCount(), i);
  }
  // Nobody on the slave: the service loop must sleep, not spin on POLLHUP.
  timespec c0, c1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &c1);
  const double cpuMs = (c1.tv_sec - c0.tv_sec) * 1e3 + (c1.tv_nsec - c0.tv_nsec) / 1e6;
  EXPECT_LT(cpuMs, 250);

  // A second unit refuses to replace something that is not a link.
  qb2sim::Options clash;
  clash.linkPath = dir_ + "/file";
  std::ofstream(clash.linkPath) << "keep";
  qb2sim::VirtualUnit other(clash);
  EXPECT_FALSE(other.Start());
  EXPECT_NE(other.LastError().find("not a symbolic link"), std::string::npos);
}

TEST_F(SimPty, UnplugEndsTheHostsLineAndReplugRepointsTheLink) {
  qb2sim::Options o;
  o.linkPath = link_;
  qb2sim::VirtualUnit unit(o);
  ASSERT_TRUE(unit.Start());
  PtyClient host(link_);
  ASSERT_TRUE(unit.WaitForHostOpen(true, 2000));
  unit.SendRaw({0x02, 0x03, 0x0D, 0x5C});
  EXPECT_EQ(host.Read(4, 2000), (Bytes{0x02, 0x03, 0x0D, 0x5C}));

  unit.Unplug();
  EXPECT_FALSE(unit.Plugged());
  host.Read(1, 1000);
  EXPECT_TRUE(host.Ended());
  EXPECT_TRUE(host.ReadErrno() == 0 || host.ReadErrno() == EIO);
  EXPECT_FALSE(host.Write({0x02}));
  EXPECT_FALSE(Exists(link_));  // dangles
  EXPECT_FALSE(PtyClient(link_).IsOpen());

  ASSERT_TRUE(unit.Replug());
  EXPECT_EQ(Target(), unit.SlavePath());
  ASSERT_TRUE(host.Open(link_));
  EXPECT_EQ(host.Request(0x61, {}), (Bytes{0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D}));
  host.Close();
  ASSERT_TRUE(unit.WaitForHostOpen(false, 2000));

  // Bytes for a host that has the port closed are not kept for its next open.
  unit.SendRaw({0x11, 0x22});
  ASSERT_TRUE(host.Open(link_));
  EXPECT_TRUE(host.Drain(200).empty());
}

TEST_F(SimPty, LogsBytesAndEventsOneLineEach) {
  qb2sim::Options o;
  o.logPath = dir_ + "/log";
  {
    qb2sim::VirtualUnit unit(o);
    ASSERT_TRUE(unit.Start());
    PtyClient host(unit.SlavePath());
    ASSERT_TRUE(unit.WaitForHostOpen(true, 2000));
    ASSERT_TRUE(host.Write({0x5C}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(host.Request(0x60, {}).size(), 7u);
    const auto log = unit.Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front().text.rfind("start slave=", 0), 0u);
  }
  std::ifstream in(o.logPath);
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const std::regex line(R"(^ *\d+\.\d{6} (H>D|D>H|EV ) \S.*$)");
  std::istringstream lines(text);
  int n = 0;
  for (std::string l; std::getline(lines, l); ++n) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_GE(n, 6);
  for (const char* want : {"EV  host-open 1", "H>D 5C", "EV  pre-stop byte", "H>D 02 60 00 00 03 65 0D",
                           "D>H 02 30 00 00 03 35 0D", "EV  stop"})
    EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
}

}  // namespace
}  // namespace qb2sim_test
