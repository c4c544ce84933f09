// A virtual unit on COM<n> of a scratch port directory, for tests that run the
// link over a real pseudo-terminal.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"
#include "platform/port_posix.h"
#include "platform/ui_model.h"
#include "tests/temp_dir.h"
#include "tools/sim/pty_canary.h"
#include "tools/sim/virtual_unit.h"

// Data for a transfer that no blank-chunk rule skips: never 0xFF, and seed gives
// another sequence.
inline std::vector<unsigned char> Pattern(size_t n, unsigned seed) {
  std::vector<unsigned char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 13 + seed) % 251);
  return b;
}

// An image with a place for the serial number (its page at 0xE000), blank but for
// that page and the first: a production run writes two pages.
inline std::vector<unsigned char> StampableImage(unsigned seed) {
  std::vector<unsigned char> b(0xE100, 0xFF);
  std::vector<unsigned char> p = Pattern(0x100, seed);
  std::copy(p.begin(), p.end(), b.begin());
  std::copy(p.begin(), p.end(), b.begin() + 0xE000);
  return b;
}

class UnitOnPort : public ::testing::Test {
 protected:
  static constexpr int kPort = 7;

  void SetUp() override {
    dir_ = MakeTempDir("link");
    ASSERT_FALSE(dir_.empty());
    SetPosixPortDirectory(dir_);
    qb2sim::Options o;
    o.linkPath = dir_ + "/com" + std::to_string(kPort);
    unit_.reset(new qb2sim::VirtualUnit(o));
    ASSERT_TRUE(unit_->Start()) << unit_->LastError();
    UiModelReset();
    ClearResponseReady();
    LinkFlags.store(0);
  }

  void TearDown() override {
    StopReceiverThread();
    unit_.reset();
    if (!oldDir_.empty()) (void)!chdir(oldDir_.c_str());
    RemoveTempDir(dir_);
  }

  // For jobs that read and write files in the current folder (the INI, the image):
  // the unit's folder, until the test ends.
  void WorkInUnitFolder() {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    oldDir_ = cwd;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }

  // Replaces the unit by one that paces its bytes at 38400 baud both ways, as a
  // real line does, on the same port.
  bool RestartUnitPaced() {
    unit_.reset();
    qb2sim::Options o;
    o.linkPath = dir_ + "/com" + std::to_string(kPort);
    o.pace = true;
    o.paceHost = true;
    unit_.reset(new qb2sim::VirtualUnit(o));
    return unit_->Start();
  }

  // Starts the receiver on the unit's port and waits until the port is open.
  bool OpenLink() {
    PortNumber.store(kPort);
    StartReceiverThread();
    for (int i = 0; i < 500; ++i) {
      if (PortIsOpen(PortHandle.load())) return unit_->WaitForHostOpen(true, 2000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  // The request handshake: status cleared, flag cleared, frame sent, reply awaited.
  int Request(int code, const std::vector<unsigned char>& payload = {}) {
    std::copy(payload.begin(), payload.end(), TxPayload);
    SetRxByte(1, 0);
    ClearResponseReady();
    SendFrame(code, static_cast<int>(payload.size()));
    return WaitReply();
  }

  using Clock = qb2sim::PtyCanary::Clock;
  // The longest the kernel held a pty byte back since from, in ms. A loaded machine's
  // kernel has held every pty's bytes back for up to two seconds at once
  // (tools/sim/pty_canary.h): a gap between two bytes the unit saw may be off by as
  // much, and a test's upper bound on such a gap widens by it.
  double HeldMs(Clock::time_point from) const { return canary_.LongestDeliveryMs(from, Clock::now()); }

  std::string dir_, oldDir_;
  std::unique_ptr<qb2sim::VirtualUnit> unit_;
  qb2sim::PtyCanary canary_;
};
