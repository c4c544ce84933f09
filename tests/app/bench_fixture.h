// The dialog's handlers over the in-memory dialog, a virtual unit on a pty and a
// scratch current directory: the bench as a test drives it, with its buttons, the
// end messages its jobs post, and what the unit received.
#pragma once
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "device/commands.h"
#include "firmware/download.h"
#include "tests/sequence/sequence_fixture.h"

class BenchOnUnit : public SequenceOnUnit {
 protected:
  void SetUp() override {
    SequenceOnUnit::SetUp();
    JobParams = JobParamsRecord();
    file_ = dir_ + "/enc72.mot";
    FirmwareFilePath = file_.c_str();
  }
  void TearDown() override {
    // A job a failed test left running ends first, before the port goes.
    OnCommand(IDC_CLOSE, &JobParams);
    FirmwareFilePath = kFirmwareFilePath;
    BootErasePauseMs = 400;
    BootWritePauseMs = 1000;
    SequenceOnUnit::TearDown();
  }

  void Boxes(const std::string& address, const std::string& size, const std::string& file) {
    UiSetText(IDC_FLASH_ADDR, address.c_str());
    UiSetText(IDC_FLASH_SIZE, size.c_str());
    UiSetText(IDC_FLASH_FILE, file.c_str());
  }
  void Press(int id) { OnCommand(id, &JobParams); }

  // Hands the job's end message to the dialog, as its message loop would.
  bool AwaitJobEnd(int ms) {
    for (int waited = 0; waited < ms; waited += 5) {
      for (unsigned m : Posted())
        if (m == UM_JOIN_WORKER) OnUserMessage(UM_JOIN_WORKER, &JobParams);
      posted_.clear();
      if (!WorkerRunning()) return true;
      SleepMs(5);
    }
    return false;
  }

  // Every byte the host wrote, in order.
  Bytes HostBytes() const {
    Bytes all;
    for (const qb2sim::LogEntry& e : unit_->Log())
      if (e.dir == qb2sim::LogDir::kHostToUnit) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
  }
  std::vector<unsigned> Codes() const {
    std::vector<unsigned> out;
    for (const qb2sim::FrameRecord& f : unit_->Frames())
      out.push_back(f.code == CMD_MEMORY && !f.payload.empty() ? 0x5000u | f.payload[0] : f.code);
    return out;
  }
  static void WriteFileBytes(const std::string& path, const Bytes& bytes) { WriteFile(path, bytes); }
  static Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  // An S-record file with the data at each address, 16 bytes to a record.
  void WriteFirmware(const std::vector<std::pair<unsigned, Bytes>>& spans) {
    FILE* f = std::fopen(file_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    for (const auto& span : spans) {
      const Bytes& data = span.second;
      for (size_t at = 0; at < data.size(); at += 16) {
        size_t n = std::min<size_t>(16, data.size() - at);
        unsigned a = span.first + static_cast<unsigned>(at);
        unsigned sum = static_cast<unsigned>(n + 3) + (a >> 8) + (a & 0xFF);
        std::fprintf(f, "S1%02X%04X", static_cast<unsigned>(n + 3), a);
        for (size_t i = 0; i < n; ++i) {
          std::fprintf(f, "%02X", data[at + i]);
          sum += data[at + i];
        }
        std::fprintf(f, "%02X\r\n", ~sum & 0xFF);
      }
    }
    std::fprintf(f, "S9030000FC\r\n");
    std::fclose(f);
  }

  std::string file_;
};
