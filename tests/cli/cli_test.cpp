// QB2CLI (the Linux program) against the virtual unit on a pty, as a line's script
// runs it: each command's JSON line against what the unit holds, the exit values,
// a stop in the middle of a write, and serial numbers that no two runs share.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "tests/cli/cli_support.h"
#include "record/serial_counter.h"
#include "tests/link/unit_fixture.h"
#include "util/crc32.h"

namespace {

using Bytes = std::vector<unsigned char>;
using qb2sim::Fault;
using Clock = std::chrono::steady_clock;


// The processes whose parent is pid, and a process's command line (NULs as spaces).
std::vector<int> ChildPidsOf(int pid) {
  std::vector<int> out;
  std::ifstream list("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  for (int child; list >> child;) out.push_back(child);
  return out;
}
std::string CommandLineOf(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\0', ' ');
  return text;
}

// Whether the process has a handler for SIGINT (its SigCgt mask in /proc).
bool HandlesSigint(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.compare(0, 7, "SigCgt:") == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1;
  return false;
}

std::string Hex(uint32_t crc) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

class Cli : public UnitOnPort {
 protected:
  void SetUp() override {
    UnitOnPort::SetUp();
    WorkInUnitFolder();
    port_ = dir_ + "/com7";
  }

  // Starts qb2cli with args; Finish waits for it and collects what it wrote.
  ChildProcess Start(const std::vector<std::string>& args) {
    std::vector<std::string> all = {std::getenv("QB2_CLI")};
    all.insert(all.end(), args.begin(), args.end());
    PipeHandle in = nullptr;
    started_ = Clock::now();
    ChildProcess child = StartChildProcess(all, &in, &out_, &err_);
    PipeClose(in);
    return child;
  }
  Ran Finish(ChildProcess child) {
    Ran r;
    std::thread errors([&] { r.err = ReadAll(err_); });
    r.out = ReadAll(out_);
    errors.join();
    EXPECT_TRUE(WaitChildProcess(child, 60000, &r.exit));
    CloseChildProcess(child);
    PipeClose(out_);
    PipeClose(err_);
    r.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    return r;
  }
  Ran Run(const std::vector<std::string>& args) { return Finish(Start(args)); }
  // The usual: the unit's port, no progress, JSON.
  Ran Json(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", port_, "--quiet", "--json"});
    return Run(args);
  }
  // The same for a command that must succeed. A loaded machine's kernel has held pty
  // bytes back for longer than a reply is awaited (tools/sim/pty_canary.h): a run
  // that failed in such a stretch is run again, at most twice.
  Ran Done(const std::vector<std::string>& args) {
    for (int run = 0;; ++run) {
      Clock::time_point from = Clock::now();
      Ran r = Json(args);
      double held = HeldMs(from);
      if (r.exit == 0 || held < kStallMs || run == 2) return r;
      std::printf("[   NOTE   ] the kernel held pty bytes back for %.0f ms: %s run again\n", held, args[0].c_str());
    }
  }
  // Half a download's hold on a page's address: less than any reply is awaited.
  static constexpr double kStallMs = 250;
  static void Write(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string Text(const std::string& path) {
    Bytes b = Read(path);
    return std::string(b.begin(), b.end());
  }
  static Bytes Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  std::string port_;
  PipeHandle out_ = nullptr, err_ = nullptr;
  Clock::time_point started_;
};

// Every command once, end to end: its exit value, its JSON line against what the
// unit holds, and its run log line.
TEST_F(Cli, EveryCommandOnceEndToEnd) {
  Bytes data = Pattern(0x1234, 1);
  Write("w.bin", data);
  Ran r = Done({"write", "w.bin", "--addr", "0x100", "--verify", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0x100, flash.begin() + 0x1334), data);
  EXPECT_EQ(Field(r.out, "operation"), "flash-write");
  EXPECT_EQ(Field(r.out, "bytes"), "4660");
  EXPECT_EQ(Field(r.out, "crc32"), Hex(Crc32(&flash[0x100], 0x1234)));
  EXPECT_EQ(Field(r.out, "result"), "OK");
  EXPECT_EQ(Field(r.out, "program"), "QB2CLI");
  EXPECT_EQ(Field(r.out, "port"), port_);

  r = Done({"read", "r.bin", "--addr", "256", "--size", "0x1234", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Read("r.bin"), data);
  EXPECT_EQ(Field(r.out, "crc32"), Hex(Crc32(data.data(), data.size())));

  r = Done({"erase", "--addr", "0", "--size", "0x10000", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(unit_->Flash()[0x200], 0xFF);

  r = Done({"clock", "set", "2026-12-09T10:20:30", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  r = Done({"clock", "get", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "clock").substr(0, 17), "2026-12-09T10:20:");

  r = Done({"app", "stop", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_FALSE(unit_->AppRunning());
  ASSERT_EQ(unit_->AppStops().size(), 1u);
  EXPECT_TRUE(unit_->AppStops()[0].preStop);
  r = Done({"app", "resume", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_TRUE(unit_->AppRunning());

  Bytes image(0xE100, 0xFF);
  for (int i = 0; i < 256; ++i) image[0xE000 + i] = static_cast<unsigned char>(i);
  Write("img.dat", image);
  r = Done({"produce", "--image", "img.dat", "--serial", "12345678", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "serial"), "12345678");
  flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xE004, flash.begin() + 0xE008), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(Field(r.out, "crc32"), Hex(Crc32(flash.data(), 0xE100)));

  std::ofstream("fw.mot") << "S1130000000102030405060708090A0B0C0D0E0F74\nS1133000101112131415161718191A1B1C1D1E1F04\n"
                             "S9030000FC\n";
  r = Done({"download", "fw.mot", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(unit_->ProgramMemory()[0x3001], 0x11);

  std::ifstream log("line.csv");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  for (const char* op : {"flash-write", "flash-read", "flash-erase", "clock-set", "clock-get", "app-stop",
                         "app-resume", "production", "download"})
    EXPECT_NE(text.find(std::string(",QB2CLI,") + port_ + "," + op + ","), std::string::npos) << op;
}

// One way to each exit value but 8 (the stop has its own test).
TEST_F(Cli, EachExitValueHasItsCause) {
  Write("w.bin", Pattern(0x800, 2));
  EXPECT_EQ(Json({"burn", "w.bin"}).exit, 2);
  EXPECT_EQ(Json({"write", "w.bin", "--addr", "12ab"}).exit, 2);
  EXPECT_EQ(Json({"write", "w.bin", "--addr", "0x1FF00"}).exit, 2);  // past the flash
  EXPECT_EQ(Json({"write", "missing.bin"}).exit, 3);
  EXPECT_EQ(unit_->FrameCount(), 0u);  // none of these opened the port
  Ran r = Run({"--port", dir_ + "/com9", "--quiet", "clock", "get"});
  EXPECT_EQ(r.exit, 4);
  unit_->AddFault(Fault::NoReply().Cmd(0x21).Times(1));
  EXPECT_EQ(Json({"clock", "get"}).exit, 5);
  unit_->AddFault(Fault::Status('2').Cmd(0x50).Sub(0x84).Nth(3));
  r = Json({"write", "w.bin"});
  EXPECT_EQ(r.exit, 6);
  EXPECT_EQ(Field(r.out, "result"), "FLASH WRITE \\u7570\\u5e38");  // ASCII JSON: 異常 escaped
  unit_->ClearFaults();
  unit_->AddFault(Fault::CorruptWrite().Nth(2));
  EXPECT_EQ(Json({"write", "w.bin", "--verify"}).exit, 7);
  Write("s.img", StampableImage(1));
  r = Json({"produce", "--image", "s.img"});  // no QB2BENCH.INI to count from
  EXPECT_EQ(r.exit, 9);
  EXPECT_EQ(Field(r.out, "serial"), "");
}

// Ctrl+C (SIGINT) in the middle of a paced write, twice: the write ends between two
// requests, the unit got no half frame, the log says stopped, exit value 8.
TEST_F(Cli, SigintStopsAWriteBetweenTwoRequests) {
  ASSERT_TRUE(RestartUnitPaced());
  Write("w.bin", Pattern(0x10000, 3));
  ChildProcess child = Start({"--port", port_, "--quiet", "--log", "line.csv", "write", "w.bin"});
  ASSERT_TRUE(unit_->WaitForFrames(5, 10000));
  ASSERT_EQ(kill(ChildProcessId(child), SIGINT), 0);
  SleepMs(20);
  kill(ChildProcessId(child), SIGINT);  // a second Ctrl+C cuts nothing either
  Ran r = Finish(child);
  EXPECT_EQ(r.exit, 8) << r.err;
  EXPECT_LT(unit_->FrameCount(), 100u);
  for (const qb2sim::FrameRecord& f : unit_->Frames()) EXPECT_TRUE(f.Good());
  SleepMs(50);
  for (const qb2sim::LogEntry& e : unit_->Log()) EXPECT_EQ(e.text.find("INCOMPLETE"), std::string::npos) << e.text;
  std::ifstream log("line.csv");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(",flash-write,,w.bin,65536,"), std::string::npos);
  EXPECT_NE(text.find(",stopped,"), std::string::npos);
}

// The serial number counter: two runs at once in one folder get two numbers; a
// bench that holds the counter makes a run wait for it, then give up with 9.
TEST_F(Cli, NoTwoRunsShareASerialNumber) {
  qb2sim::Options o;
  o.linkPath = dir_ + "/com8";
  qb2sim::VirtualUnit second(o);
  ASSERT_TRUE(second.Start());
  Write("Quillbeacon2FlashData.dat", StampableImage(2));
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000100\r\n";
  ChildProcess a = Start({"--port", port_, "--quiet", "--json", "produce"});
  PipeHandle aOut = out_, aErr = err_;
  ChildProcess b = Start({"--port", dir_ + "/com8", "--quiet", "--json", "produce"});
  Ran rb = Finish(b);
  out_ = aOut;
  err_ = aErr;
  Ran ra = Finish(a);
  ASSERT_EQ(ra.exit, 0) << ra.err;
  ASSERT_EQ(rb.exit, 0) << rb.err;
  EXPECT_NE(Field(ra.out, "serial"), Field(rb.out, "serial"));
  EXPECT_EQ(std::stoi(Field(ra.out, "serial")) + std::stoi(Field(rb.out, "serial")), 201);
  std::ifstream ini("QB2BENCH.INI");
  std::string text((std::istreambuf_iterator<char>(ini)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("SerialNumber=00000102"), std::string::npos) << text;

  std::string holder;
  FileHandle bench = HoldSerialCounter("QB2BENCH.INI", "QB2BENCH.EXE", 0, &holder);
  ASSERT_NE(bench, nullptr);
  const size_t frames = unit_->FrameCount();
  Ran r = Run({"--port", port_, "--quiet", "produce"});
  EXPECT_EQ(r.exit, 9);
  EXPECT_GE(r.seconds, 4.9);
  EXPECT_NE(r.err.find("QB2BENCH.EXE (pid "), std::string::npos) << r.err;
  // Ctrl+C in that wait is a stop like any other, at once.
  ChildProcess waiting = Start({"--port", port_, "--quiet", "produce"});
  // Once it handles SIGINT (a sanitizer's start takes its time), it is in that wait.
  for (int i = 0; i < 200 && !HandlesSigint(ChildProcessId(waiting)); ++i) SleepMs(20);
  SleepMs(300);
  ASSERT_EQ(kill(ChildProcessId(waiting), SIGINT), 0);
  r = Finish(waiting);
  ReleaseSerialCounter(bench);
  EXPECT_EQ(r.exit, 8);
  EXPECT_LT(r.seconds, 4.0);
  EXPECT_EQ(unit_->FrameCount(), frames);  // nothing reached the unit
}

// What the command line checks before it takes a number or opens the port, in
// that order: its usage, then its files and log, then the number. Each refusal
// leaves the counter and the unit untouched.
TEST_F(Cli, EverythingIsCheckedBeforeANumberIsTakenOrTheUnitReached) {
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000500\r\n";
  Write("big.bin", Bytes(200000, 0x11));
  Write("s.img", StampableImage(3));
  ASSERT_EQ(symlink((dir_ + "/com7").c_str(), (dir_ + "/unit").c_str()), 0);
  struct Case {
    std::vector<std::string> args;
    int exit;
  } cases[] = {
      {{"--port", "/nonexistent/port", "produce", "--image", "missing.img"}, 3},  // the file before the port
      {{"--port", port_, "write", "big.bin"}, 2},             // a file the flash cannot hold is not cut short
      {{"--port", port_, "produce", "--serial", "100000000"}, 2},  // the unit holds eight digits
      {{"--port", port_, "produce", "--serial", "-1"}, 2},
      {{"--port", port_ + "," + dir_ + "/unit", "clock", "get"}, 2},  // one unit named twice
      {{"--port", port_, "clock", "set", "2024-+2-01T00:00:00"}, 2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), {"--quiet", "--json"});
    Ran r = Run(args);
    EXPECT_EQ(r.exit, c.exit) << c.args.back() << " " << r.err;
  }
  EXPECT_EQ(unit_->FrameCount(), 0u);
  EXPECT_NE(Text("QB2BENCH.INI").find("=00000500"), std::string::npos);

  // A log the settings name but that cannot be used (a name with no Shift-JIS form)
  // stops the run before anything is sent.
  std::ofstream("QB2BENCH.INI") << "\xEF\xBB\xBF[QB2BENCH]\r\nSerialNumber=99999999\r\nLogFile=caf\xC3\xA9.csv\r\n";
  Ran r = Json({"produce", "--image", "s.img"});
  EXPECT_EQ(r.exit, 3) << r.err;
  EXPECT_NE(r.err.find("LogFile"), std::string::npos) << r.err;
  // The last number goes to one unit; two would pass it, and take nothing.
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=99999999\r\n";
  qb2sim::Options o;
  o.linkPath = dir_ + "/com8";
  qb2sim::VirtualUnit second(o);
  ASSERT_TRUE(second.Start());
  r = Run({"--port", port_ + "," + dir_ + "/com8", "--quiet", "--json", "produce", "--image", "s.img"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.out.find("no serial number left"), std::string::npos) << r.out;
  EXPECT_EQ(unit_->FrameCount() + second.FrameCount(), 0u);
  r = Done({"produce", "--image", "s.img"});
  ASSERT_EQ(r.exit, 0) << r.err;
  Bytes flash = unit_->Flash();
  EXPECT_EQ(Bytes(flash.begin() + 0xE004, flash.begin() + 0xE008), (Bytes{0x99, 0x99, 0x99, 0x99}));
  EXPECT_EQ(Json({"produce", "--image", "s.img"}).exit, 9);  // none left: 100000000 is no number
}

// The line names what went into the unit: an image with no place for a number
// takes none, and says so.
TEST_F(Cli, AnImageWithNoPlaceForANumberTakesNone) {
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000700\r\n";
  Write("short.img", Pattern(0x300, 4));
  Ran r = Done({"produce", "--image", "short.img", "--log", "line.csv"});
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "serial"), "");
  std::string log = Text("line.csv");
  EXPECT_NE(log.find(",production,,"), std::string::npos) << log;
  std::string ini = Text("QB2BENCH.INI");
  EXPECT_NE(ini.find("SerialNumber=00000700"), std::string::npos) << ini;
  r = Run({"--port", port_, "--quiet", "produce", "--image", "short.img"});
  EXPECT_NE(r.out.find("no S/N stamped"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// Several units at once, one port each.
class Gang : public Cli {
 protected:
  // Units 8, 9, ... beside the fixture's 7, paced like it when asked.
  void AddUnits(int n, bool paced = false) {
    for (int i = 0; i < n; ++i) {
      qb2sim::Options o;
      o.linkPath = dir_ + "/com" + std::to_string(8 + i);
      o.pace = o.paceHost = paced;
      units_.emplace_back(new qb2sim::VirtualUnit(o));
      ASSERT_TRUE(units_.back()->Start());
    }
  }
  qb2sim::VirtualUnit& UnitAt(int i) { return i == 0 ? *unit_ : *units_[static_cast<size_t>(i - 1)]; }
  std::string Ports(int first, int n) {
    std::string list;
    for (int i = first; i < first + n; ++i) list += (list.empty() ? "" : ",") + dir_ + "/com" + std::to_string(7 + i);
    return list;
  }
  // The JSON line of port's unit among out's lines.
  std::string LineOf(const std::string& out, int unit) {
    const std::string port = "\"port\":\"" + dir_ + "/com" + std::to_string(7 + unit) + "\"";
    size_t at = out.find(port);
    if (at == std::string::npos) return "";
    size_t start = out.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return out.substr(start, out.find('\n', at) - start);
  }
  std::vector<std::unique_ptr<qb2sim::VirtualUnit>> units_;
};

// Four units produce at once: four numbers, each unit stamped with its own, four
// log lines whose CRCs are those of what each unit holds. Two such runs at once in
// one folder never share a number either.
TEST_F(Gang, UnitsAtOnceEachGetTheirOwnSerialNumber) {
  AddUnits(5);
  Bytes image(0xE100, 0xFF);
  for (int i = 0; i < 256; ++i) image[0xE000 + i] = static_cast<unsigned char>(i);
  Write("Quillbeacon2FlashData.dat", image);
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000100\r\nLogFile=line.csv\r\n";
  Ran four = Run({"--port", Ports(0, 4), "--quiet", "--json", "produce"});
  EXPECT_EQ(four.exit, 0) << four.err;
  for (int i = 0; i < 4; ++i) {
    std::string line = LineOf(four.out, i);
    EXPECT_EQ(Field(line, "serial"), "0000010" + std::to_string(i)) << line;  // in port order
    Bytes flash = UnitAt(i).Flash();
    EXPECT_EQ(Bytes(flash.begin() + 0xE004, flash.begin() + 0xE008), (Bytes{0x00, 0x00, 0x01, static_cast<unsigned char>(i)}));
    EXPECT_EQ(Field(line, "crc32"), Hex(Crc32(flash.data(), 0xE100)));
  }
  std::ifstream log("line.csv");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  for (int i = 0; i < 4; ++i) EXPECT_NE(text.find(Field(LineOf(four.out, i), "crc32") + ",OK,"), std::string::npos);

  ChildProcess a = Start({"--port", Ports(0, 3), "--quiet", "--json", "produce"});
  PipeHandle aOut = out_, aErr = err_;
  Ran b = Finish(Start({"--port", Ports(3, 3), "--quiet", "--json", "produce"}));
  out_ = aOut;
  err_ = aErr;
  Ran ra = Finish(a);
  std::vector<std::string> serials;
  for (int i = 0; i < 3; ++i) serials.push_back(Field(LineOf(ra.out, i), "serial"));
  for (int i = 3; i < 6; ++i) serials.push_back(Field(LineOf(b.out, i), "serial"));
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"00000104", "00000105", "00000106", "00000107", "00000108", "00000109"}));
}

// One unit silent, one storing a byte wrongly, among four: the other two are done,
// each unit's line has its own exit value, and the command's is 1.
TEST_F(Gang, AUnitThatFailsEndsAlone) {
  AddUnits(3);
  UnitAt(1).AddFault(Fault::NoReply());
  UnitAt(2).AddFault(Fault::CorruptWrite().Nth(2));
  Write("w.bin", Pattern(0x2000, 5));
  Ran r = Run({"--port", Ports(0, 4), "--quiet", "--json", "write", "w.bin", "--verify"});
  EXPECT_EQ(r.exit, 1) << r.err;
  const char* exits[] = {"0", "5", "7", "0"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Field(LineOf(r.out, i), "exit"), exits[i]) << LineOf(r.out, i);
  Bytes data = Pattern(0x2000, 5);
  for (int i : {0, 3}) {
    Bytes flash = UnitAt(i).Flash();
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 0x2000), data) << i;
  }
}

// A stop of the whole command in the middle of a four-unit write: every unit ends
// between two requests, its line and log line say stopped.
TEST_F(Gang, AStopEndsEveryUnitBetweenRequests) {
  ASSERT_TRUE(RestartUnitPaced());
  AddUnits(3, true);
  Write("w.bin", Pattern(0x10000, 6));
  Clock::time_point from = Clock::now();
  ChildProcess gang = Start({"--port", Ports(0, 4), "--quiet", "--json", "--log", "line.csv", "write", "w.bin"});
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(UnitAt(i).WaitForFrames(3, 10000)) << i;
  ASSERT_EQ(kill(ChildProcessId(gang), SIGTERM), 0);  // to the parent alone: it tells each unit
  Ran r = Finish(gang);
  // A unit whose reply the kernel held back past its bound ended with 5 before the
  // stop reached it (tools/sim/pty_canary.h): no fault of the program's.
  const bool held = HeldMs(from) >= kStallMs;
  size_t stopped = 0;
  for (int i = 0; i < 4; ++i) {
    const std::string exit = Field(LineOf(r.out, i), "exit");
    stopped += exit == "8";
    if (!(held && exit == "5")) {
      EXPECT_EQ(exit, "8") << LineOf(r.out, i);
    }
    EXPECT_LT(UnitAt(i).FrameCount(), 100u);
    for (const qb2sim::FrameRecord& f : UnitAt(i).Frames()) EXPECT_TRUE(f.Good());
  }
  EXPECT_EQ(r.exit, stopped == 4 ? 8 : 1);  // every unit stopped: the command was stopped
  std::ifstream log("line.csv");
  std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  size_t logged = 0;
  for (size_t at = text.find(",stopped,"); at != std::string::npos; at = text.find(",stopped,", at + 1)) ++logged;
  EXPECT_EQ(logged, stopped);
}

// A unit whose own process is killed still ends with its one JSON line and its log
// line: its state is unknown (10), its number counts as used, its neighbours go on.
TEST_F(Gang, AUnitWhoseProcessDiesStillHasItsLine) {
  ASSERT_TRUE(RestartUnitPaced());
  AddUnits(1, true);
  Write("Quillbeacon2FlashData.dat", StampableImage(6));
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000300\r\nLogFile=line.csv\r\n";
  ChildProcess gang = Start({"--port", Ports(0, 2), "--quiet", "--json", "produce"});
  ASSERT_TRUE(UnitAt(1).WaitForFrames(3, 10000));
  // The process that serves the second unit: a child of the command, named by its port.
  int victim = 0;
  for (int pid : ChildPidsOf(ChildProcessId(gang)))
    if (CommandLineOf(pid).find(dir_ + "/com8") != std::string::npos) victim = pid;
  ASSERT_NE(victim, 0);
  ASSERT_EQ(kill(victim, SIGKILL), 0);
  Ran r = Finish(gang);
  EXPECT_EQ(r.exit, 1);
  std::string line = LineOf(r.out, 1);
  EXPECT_EQ(Field(line, "exit"), "10") << r.out;
  EXPECT_EQ(Field(line, "result"), "no result");
  EXPECT_EQ(Field(line, "serial"), "00000301");
  EXPECT_EQ(Field(LineOf(r.out, 0), "exit"), "0") << r.out;
  std::string log = Text("line.csv");
  EXPECT_NE(log.find(",production,00000301,"), std::string::npos) << log;
  EXPECT_NE(log.find(",no result,"), std::string::npos) << log;
}

}  // namespace

namespace {

// A fixture's slots by udev's links: slot 1 is the unit on com9, 2 on com7, 3 on
// com10 (by place), 4 on com8 (by device); slot 5's place has no unit.
class Slots : public Gang {
 protected:
  void SetUp() override {
    Gang::SetUp();
    AddUnits(3);
    serial_ = dir_ + "/serial";
    ASSERT_EQ(system(("mkdir -p " + serial_ + "/by-path " + serial_ + "/by-id && cd " + serial_ +
                      " && ln -s ../../com9 by-path/pci-0-usb-0:1.1 && ln -s ../../com7 by-path/pci-0-usb-0:1.2"
                      " && ln -s ../../com10 by-path/pci-0-usb-0:1.3 && ln -s ../../com8 by-id/usb-QB2_SN04")
                         .c_str()),
              0);
    setenv("QB2_SERIAL_DIR", serial_.c_str(), 1);
    std::ofstream("QB2BENCH.INI") << "[Slots]\r\n1=pci-0-usb-0:1.1\r\n2=pci-0-usb-0:1.2\r\n3=pci-0-usb-0:1.3\r\n"
                                     "4=usb-QB2_SN04\r\n5=pci-0-usb-0:1.5\r\n";
  }
  void TearDown() override {
    unsetenv("QB2_SERIAL_DIR");
    Gang::TearDown();
  }
  // The unit's line among out's, by the pty its links lead to.
  std::string LineAt(const std::string& out, int unit) {
    char path[4096];  // PATH_MAX
    if (!realpath((dir_ + "/com" + std::to_string(7 + unit)).c_str(), path)) return "";
    size_t at = out.find(std::string("\"port\":\"") + path + "\"");
    if (at == std::string::npos) return "";
    size_t start = out.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    return out.substr(start, out.find('\n', at) - start);
  }
  std::string serial_;
};

// ports names each unit's slot; a slot alone reaches its own unit only; slots 1-5
// run four units and slot 5 fails alone with 4; lists and slots that cannot be
// run are refused before anything starts.
TEST_F(Slots, EachSlotRunsTheUnitAtItsPlace) {
  const int unitOf[] = {2, 0, 3, 1};  // slot 1..4
  Ran r = Run({"ports", "--json"});
  ASSERT_EQ(r.exit, 0) << r.err;
  for (int s = 1; s <= 4; ++s) EXPECT_EQ(Field(LineAt(r.out, unitOf[s - 1]), "slot"), std::to_string(s)) << r.out;
  r = Run({"--slots", "2", "--quiet", "clock", "get"});
  EXPECT_EQ(r.exit, 0) << r.err;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(UnitAt(i).FrameCount(), i == unitOf[1] ? 1u : 0u) << i;

  r = Run({"--slots", "1-3,4,5", "--quiet", "--json", "clock", "get"});
  EXPECT_EQ(r.exit, 1);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Field(LineAt(r.out, i), "exit"), "0") << r.out;
    EXPECT_EQ(UnitAt(i).FrameCount(), i == unitOf[1] ? 2u : 1u) << i;
  }
  EXPECT_NE(r.out.find("\"result\":\"slot 5: no unit at pci-0-usb-0:1.5\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"exit\":4}"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("slot 5: no unit at pci-0-usb-0:1.5"), std::string::npos) << r.err;

  for (std::vector<std::string> args : {std::vector<std::string>{"3-1"}, {"6"}, {"1,1"}, {"1", "--port", port_}}) {
    args.insert(args.begin(), "--slots");
    args.insert(args.end(), {"clock", "get"});
    r = Run(args);
    EXPECT_EQ(r.exit, 2) << args[1];
    EXPECT_NE(r.err.find("--slots"), std::string::npos) << r.err;
  }
  for (int i = 0; i < 4; ++i) EXPECT_EQ(UnitAt(i).FrameCount(), i == unitOf[1] ? 2u : 1u) << i;
}

}  // namespace

namespace {

// The factory mode over udev's links: a slot's by-path link comes when a unit is
// plugged in and goes when it is taken out; each unit is a fresh one (blank flash).
class Factory : public Gang {
 protected:
  void SetUp() override {
    Gang::SetUp();
    serial_ = dir_ + "/serial";
    ASSERT_EQ(system(("mkdir -p " + serial_ + "/by-path " + serial_ + "/by-id").c_str()), 0);
    setenv("QB2_SERIAL_DIR", serial_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QB2_SERIAL_DIR");
    if (reader_.joinable()) reader_.join();
    Gang::TearDown();
  }
  std::string SlotLink(int slot) { return serial_ + "/by-path/pci-0-usb-0:1." + std::to_string(slot); }
  qb2sim::VirtualUnit& PlugNew(int slot, bool paced = false) {
    qb2sim::Options o;
    o.linkPath = dir_ + "/fresh" + std::to_string(fresh_.size());
    o.pace = o.paceHost = paced;
    fresh_.emplace_back(new qb2sim::VirtualUnit(o));
    EXPECT_TRUE(fresh_.back()->Start());
    EXPECT_EQ(symlink(o.linkPath.c_str(), SlotLink(slot).c_str()), 0);
    return *fresh_.back();
  }
  // The program's stdout, line by line as it comes.
  void ReadLines() {
    reader_ = std::thread([this] {
      std::string pending;
      char buffer[4096];
      for (int n; (n = PipeRead(out_, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
          std::lock_guard<std::mutex> hold(lock_);
          lines_.push_back(pending.substr(0, end));
        }
      }
    });
  }
  std::string WaitLine(size_t i) {
    for (int waited = 0; waited < 30000; waited += 10) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (lines_.size() > i) return lines_[i];
      }
      SleepMs(10);
    }
    return "";
  }
  std::string serial_;
  std::vector<std::unique_ptr<qb2sim::VirtualUnit>> fresh_;
  std::thread reader_;
  std::mutex lock_;
  std::vector<std::string> lines_;
};

// Two slots, five units plugged in and taken out one after another: each is run
// once, however long it stays in, with its own number claimed as it came; a sixth
// in the middle of its run when the program is stopped ends stopped, exit 8.
TEST_F(Factory, EachUnitIsRunOnceAsItComesAndGoes) {
  Write("Quillbeacon2FlashData.dat", StampableImage(7));
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000400\r\nLogFile=line.csv\r\n[Slots]\r\n"
                                   "1=pci-0-usb-0:1.1\r\n2=pci-0-usb-0:1.2\r\n";
  ChildProcess watch = Start({"--slots", "1-2", "--watch", "--quiet", "--json", "produce"});
  ReadLines();
  qb2sim::VirtualUnit* in[3] = {nullptr, &PlugNew(1), &PlugNew(2)};
  std::vector<std::pair<qb2sim::VirtualUnit*, std::string>> done;  // each unit and its line
  for (size_t i = 0; i < 5; ++i) {
    std::string line = WaitLine(i);
    ASSERT_NE(line, "") << "line " << i;
    const int slot = std::stoi(Field(line, "slot"));
    ASSERT_TRUE(slot == 1 || slot == 2) << line;
    done.emplace_back(in[slot], line);
    SleepMs(i % 2 ? 700 : 0);  // left in for a few looks at the slot
    ASSERT_EQ(unlink(SlotLink(slot).c_str()), 0);
    SleepMs(400);
    if (i < 3) in[slot] = &PlugNew(slot);
  }
  qb2sim::VirtualUnit& last = PlugNew(1, true);
  ASSERT_TRUE(last.WaitForFrames(3, 10000));
  ASSERT_EQ(kill(ChildProcessId(watch), SIGINT), 0);
  reader_.join();  // to the end of its output: what Finish reads is the rest, none
  Ran r = Finish(watch);
  EXPECT_EQ(r.exit, 8) << r.err;
  ASSERT_EQ(lines_.size(), 6u) << r.err;
  EXPECT_EQ(Field(lines_[5], "result"), "stopped");
  std::vector<std::string> serials;
  for (auto& d : done) {
    EXPECT_EQ(Field(d.second, "exit"), "0") << d.second;
    serials.push_back(Field(d.second, "serial"));
    Bytes flash = d.first->Flash();
    EXPECT_EQ(Hex(Crc32(flash.data(), 0xE100)), Field(d.second, "crc32")) << d.second;
    EXPECT_EQ(d.first->OpenCount(), fresh_[0]->OpenCount()) << d.second;  // never opened again
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"00000400", "00000401", "00000402", "00000403", "00000404"}));
  std::string log = Text("line.csv");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 7) << log;  // the header and six lines
}

// A unit's job run again: after no answer, and after its port went and came back,
// with its number kept and a log line for each attempt; never after a verify
// difference.
TEST_F(Cli, RetriesOnlyWhatASecondTryCanMend) {
  Write("s.img", StampableImage(8));
  std::ofstream("QB2BENCH.INI") << "[QB2BENCH]\r\nSerialNumber=00000600\r\nLogFile=line.csv\r\n";
  unit_->AddFault(Fault::UnplugAfter(3, 1000));  // the third frame since the unit's start
  Ran r = Json({"--retries", "1", "produce", "--image", "s.img"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "attempt"), "2");
  unit_->AddFault(Fault::NoReply().Times(1));
  r = Json({"--retries", "1", "produce", "--image", "s.img"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "attempt"), "2");
  unit_->AddFault(Fault::CorruptWrite().Nth(1));
  r = Json({"--retries", "3", "--verify", "produce", "--image", "s.img"});
  EXPECT_EQ(r.exit, 7) << r.err;
  EXPECT_EQ(Field(r.out, "attempt"), "1");
  std::string log = Text("line.csv");
  for (const char* serial : {",00000600,", ",00000601,", ",00000602,"}) {
    size_t lines = 0;
    for (size_t at = log.find(serial); at != std::string::npos; at = log.find(serial, at + 1)) ++lines;
    EXPECT_EQ(lines, std::string(serial) == ",00000602," ? 1u : 2u) << serial << "\n" << log;
  }
}

}  // namespace
