// A virtual unit on COM<n> of a scratch port directory, for tests that run the
// link over a real pseudo-terminal.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"
#include "platform/port_posix.h"
#include "platform/ui_model.h"
#include "tools/sim/virtual_unit.h"

class UnitOnPort : public ::testing::Test {
 protected:
  static constexpr int kPort = 7;

  void SetUp() override {
    char dir[] = "/tmp/qb2-link-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
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
    std::string cmd = "rm -rf " + dir_;
    (void)!system(cmd.c_str());
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

  std::string dir_;
  std::unique_ptr<qb2sim::VirtualUnit> unit_;
};
