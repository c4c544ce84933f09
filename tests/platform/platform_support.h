// Helpers of the platform tests: a scratch folder per test, and children started
// from the test program itself (its --qb2-child modes, child_main.cpp).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/process.h"

const char kChildFlag[] = "--qb2-child";

// A test with a new empty folder, removed with its contents afterwards.
class ScratchTest : public testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    auto tag = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = (fs::temp_directory_path() / ("qb2-platform-" + std::to_string(tag))).string();
    ASSERT_TRUE(fs::create_directory(dir_)) << dir_;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return dir_ + kPathSeparator + name; }
  std::string dir_;
};

// One child of this program: its pipes, closed and waited for (5 s at most) at the end.
class Child {
 public:
  Child(const std::vector<std::string>& modeArgs, std::string program = OwnProgramPath()) {
    std::vector<std::string> args{program, kChildFlag};
    args.insert(args.end(), modeArgs.begin(), modeArgs.end());
    process = StartChildProcess(args, &in, &out, &err);
  }
  ~Child() {
    CloseInput();
    PipeClose(out);
    PipeClose(err);
    int ignored;
    if (process) WaitChildProcess(process, 5000, &ignored);
    CloseChildProcess(process);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void CloseInput() {
    PipeClose(in);
    in = nullptr;
  }
  // Standard output up to and with the next '\n' (or its end).
  std::string ReadLine() {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
      if (PipeRead(out, &c, 1) != 1) break;
      line.push_back(c);
    }
    return line;
  }
  static std::string ReadToEnd(PipeHandle pipe) {
    std::string all;
    char buffer[512];
    for (int n; (n = PipeRead(pipe, buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<size_t>(n));
    return all;
  }
  // Input closed, then the exit value; -999 when the child did not end within 5 s.
  int Finish() {
    CloseInput();
    int value = -999;
    return WaitChildProcess(process, 5000, &value) ? value : -999;
  }

  ChildProcess process = nullptr;
  PipeHandle in = nullptr, out = nullptr, err = nullptr;
};
