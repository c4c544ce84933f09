// The boot-loader download behind command 106, over a real pty against the
// virtual unit: what reaches the boot loader byte for byte, the trace lines, how
// each failure ends the download, and stale bytes around CMD_BOOT_ENTER.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "app/dialog.h"
#include "app/worker_thread.h"
#include "firmware/boot_blocks.h"
#include "firmware/download.h"
#include "firmware/srecord.h"
#include "operator/ids.h"
#include "tests/link/unit_fixture.h"

namespace {

using qb2sim::BootStep;
using qb2sim::Fault;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const Bytes kBootEnterFrame = {0x02, 0x70, 0x00, 0x00, 0x03, 0x75, 0x0D};

// Data at an address of the image, written as S1 records of 16 bytes.
struct Span {
  unsigned address;
  Bytes data;
};

Span Fill(unsigned address, unsigned count, unsigned char value) { return Span{address, Bytes(count, value)}; }
Span Ramp(unsigned address, unsigned count, unsigned seed) {
  Bytes b(count);
  for (unsigned i = 0; i < count; ++i) b[i] = static_cast<unsigned char>((i * 7 + seed) & 0xFF);
  return Span{address, b};
}

class Download : public UnitOnPort {
 protected:
  void SetUp() override {
    UnitOnPort::SetUp();
    file_ = dir_ + "/enc72.mot";
    FirmwareFilePath = file_.c_str();
    UiModelTakePosted();
    // Old firmware everywhere, so that a block left unerased or a page left
    // unwritten shows.
    ASSERT_TRUE(unit_->SetProgramMemory(0, Bytes(0x10000, 0x5A)));
  }
  void TearDown() override {
    FirmwareFilePath = kFirmwareFilePath;
    ClearLinkFlag(BootByteMode);
    UnitOnPort::TearDown();
  }

  void WriteFile(const std::vector<Span>& spans) {
    FILE* f = std::fopen(file_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "S00600004844521B\r\n");
    for (const Span& s : spans) {
      for (size_t at = 0; at < s.data.size(); at += 16) {
        size_t n = std::min<size_t>(16, s.data.size() - at);
        unsigned a = s.address + static_cast<unsigned>(at);
        unsigned sum = static_cast<unsigned>(n + 3) + (a >> 8) + (a & 0xFF);
        std::fprintf(f, "S1%02X%04X", static_cast<unsigned>(n + 3), a);
        for (size_t i = 0; i < n; ++i) {
          std::fprintf(f, "%02X", s.data[at + i]);
          sum += s.data[at + i];
        }
        std::fprintf(f, "%02X\r\n", ~sum & 0xFF);
      }
    }
    std::fprintf(f, "S9030000FC\r\n");
    std::fclose(f);
    image_.assign(FIRMWARE_IMAGE_SIZE, 0xFF);
    ASSERT_EQ(ReadSRecordFile(file_.c_str(), image_.data()), 1);
  }

  // Command 106 as the operator presses it; waits for the job's UM_JOIN_WORKER and
  // joins the worker as the dialog does. Returns the job's length in ms, or -1.
  long Press106(int boundMs = 30000) {
    Clock::time_point t0 = Clock::now();
    OnCommand(IDC_COMMAND2, &JobParams);
    if (!WorkerRunning()) return -1;
    for (;;) {
      for (const UiMessage& m : UiModelTakePosted()) {
        if (m.message == UM_JOIN_WORKER && m.wParam == 0 && m.lParam == 0) {
          long ms = static_cast<long>(
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
          OnUserMessage(UM_JOIN_WORKER, &JobParams);
          return ms;
        }
      }
      if (Clock::now() - t0 > std::chrono::milliseconds(boundMs)) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Every byte the unit received, and what follows the boot-enter frame.
  Bytes HostBytes() const {
    // The job has ended, but its last bytes may still be on their way into the log.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Bytes all;
    for (const qb2sim::LogEntry& e : unit_->Log())
      if (e.dir == qb2sim::LogDir::kHostToUnit) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
  }
  Bytes BootBytes() const {
    Bytes all = HostBytes();
    if (all.size() < kBootEnterFrame.size() || !std::equal(kBootEnterFrame.begin(), kBootEnterFrame.end(), all.begin()))
      return {0xEE, 0xEE};  // the frame did not come first
    return Bytes(all.begin() + static_cast<long>(kBootEnterFrame.size()), all.end());
  }
  // The trace lines of the download (frames' T-/R- lines left out).
  std::vector<std::string> BootTrace() const {
    std::vector<std::string> out;
    for (const std::string& l : UiModelList(IDC_TRACE_LIST))
      if (l.compare(0, 2, "T-") != 0 && l.compare(0, 2, "R-") != 0) out.push_back(l);
    return out;
  }
  // The bytes of one page's messages, as the download must send them.
  Bytes PageMessages(unsigned page) const {
    Bytes b = {static_cast<unsigned char>(page & 0xFF), static_cast<unsigned char>(page >> 8)};
    b.insert(b.end(), image_.begin() + page, image_.begin() + page + BOOT_PAGE_SIZE);
    b.push_back('U');
    return b;
  }
  Bytes Region(const Bytes& mem, unsigned start, unsigned size) const {
    return Bytes(mem.begin() + start, mem.begin() + start + size);
  }
  // The unit's program memory equals the image in every block that holds data.
  void ExpectBlocksProgrammed() const {
    Bytes mem = unit_->ProgramMemory();
    for (const BootBlock& b : BootBlockTable) {
      if (FindFirstUsedByte(image_.data(), b) < 0) continue;
      EXPECT_EQ(Region(mem, b.start, b.size), Region(image_, b.start, b.size)) << std::hex << b.start;
    }
  }

  // What the unit saw, for a failure's reader: the races here are in the timing.
  void DumpUnitLog() const {
    for (const qb2sim::LogEntry& e : unit_->Log()) {
      std::fprintf(stderr, "%9.3f %d %s", e.timeMs, static_cast<int>(e.dir), e.text.c_str());
      for (unsigned char b : e.bytes) std::fprintf(stderr, " %02X", b);
      std::fprintf(stderr, "\n");
    }
  }

  std::string file_;
  Bytes image_;
};

TEST_F(Download, DataAt3010OnlyErasesRowOneAndWritesPage3000) {
  WriteFile({Ramp(0x3010, 16, 1)});
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);

  EXPECT_EQ(BootTrace(), (std::vector<std::string>{"ﾌﾞﾛｯｸ消去 3010-33FF", "resp 06", "書込中", "書込3000"}));
  Bytes expected = {0x45, 0x0A, 0x0A, 0x57};
  Bytes page = PageMessages(0x3000);
  expected.insert(expected.end(), page.begin(), page.end());
  expected.push_back(0xFF);
  Bytes received = BootBytes();
  EXPECT_EQ(received, expected);
  // The page's address as the unit received it, low byte first, and the unit's
  // answer to it (the sum of the two, 0x30) taken as the right one: the page went on.
  ASSERT_GE(received.size(), 6u);
  EXPECT_EQ(received[4], 0x00);
  EXPECT_EQ(received[5], 0x30);
  EXPECT_EQ(unit_->ErasedBlocks(), Bytes{0x0A});
  EXPECT_EQ(unit_->WrittenPages(), std::vector<uint16_t>{0x3000});
  ExpectBlocksProgrammed();
  // No pause between CMD_BOOT_ENTER and the first erase but the reading of the file
  // (a few ms; the bound only keeps out a wait for the frame reply or a settle).
  double frameAt = -1, eraseAt = -1;
  for (const qb2sim::LogEntry& e : unit_->Log()) {
    if (e.dir != qb2sim::LogDir::kHostToUnit || e.bytes.empty()) continue;
    if (e.bytes[0] == 0x02 && frameAt < 0) frameAt = e.timeMs;
    if (e.bytes[0] == 0x45 && eraseAt < 0) eraseAt = e.timeMs;
  }
  EXPECT_LT(eraseAt - frameAt, 250.0);
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
  EXPECT_TRUE(unit_->WaitFor([&] { return !unit_->InBootLoader(); }, 2000));  // 0xFF reached it
}

// The unit checks what the download expects (0x20 for 80 A0, 0x80 for 128 x 0x01).
// Told to answer row 5's second page with the complement, the unit is left in its
// boot loader: nothing of row 5's rest, of rows 6 and 7, and no 0xFF that would
// start a half-written program.
TEST_F(Download, AWrongDataSumEndsTheDownloadInTheBootLoader) {
  WriteFile({Fill(0xA080, 128, 0x01), Ramp(0xA100, 256, 3), Ramp(0xC000, 128, 5), Ramp(0xE100, 128, 9)});
  unit_->AddFault(Fault::BootBadSum(BootStep::kData, 2));  // row 5's second page, 0xA100
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);

  EXPECT_EQ(unit_->WrittenPages(), (std::vector<uint16_t>{0xA080}));
  EXPECT_EQ(unit_->ErasedBlocks(), (Bytes{0x03, 0x02, 0x01}));
  unsigned sum = 0;
  for (unsigned i = 0; i < BOOT_PAGE_SIZE; ++i) sum += image_[0xA100 + i];
  char refused[64];
  std::snprintf(refused, sizeof refused, "DOWNLOAD 異常 書込a100 ﾃﾞｰﾀ 応答 %02x (%02x)", ~sum & 0xFF, sum & 0xFF);
  std::vector<std::string> trace = BootTrace();
  EXPECT_EQ(std::vector<std::string>(trace.end() - 3, trace.end()),
            (std::vector<std::string>{"書込a080", "書込a100", refused}));
  Bytes boot = BootBytes();
  Bytes a080 = PageMessages(0xA080);
  Bytes a100 = PageMessages(0xA100);
  a100.pop_back();  // no "U" after a refused page
  Bytes tail = a080;
  tail.insert(tail.end(), a100.begin(), a100.end());
  ASSERT_GE(boot.size(), tail.size());
  EXPECT_EQ(Bytes(boot.end() - static_cast<long>(tail.size()), boot.end()), tail);
  EXPECT_TRUE(unit_->InBootLoader());
  EXPECT_EQ(UiModelBoxes(), (std::vector<std::pair<std::string, std::string>>{{"DOWNLOAD 異常", "KM7200"}}));
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
}

TEST_F(Download, NoDataInTheBlocksSendsWPausesAndFinishesAndNeverSendsOtherData) {
  WriteFile({Ramp(0x1000, 64, 1), Ramp(0x4000, 128, 2), Ramp(0x9F80, 128, 3), Ramp(0xF000, 256, 4),
             Ramp(0xFFF0, 16, 5)});
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);

  EXPECT_EQ(BootTrace(), std::vector<std::string>{"書込中"});
  EXPECT_EQ(BootBytes(), (Bytes{0x57, 0xFF}));
  EXPECT_TRUE(unit_->ErasedBlocks().empty());
  // The pause after the unit's 0xAA: from "W" to 0xFF.
  double wAt = -1, ffAt = -1;
  for (const qb2sim::LogEntry& e : unit_->Log()) {
    if (e.dir != qb2sim::LogDir::kHostToUnit) continue;
    for (unsigned char b : e.bytes) {
      if (b == 0x57 && wAt < 0) wAt = e.timeMs;
      if (b == 0xFF) ffAt = e.timeMs;
    }
  }
  EXPECT_GE(ffAt - wAt, 1000.0);
  EXPECT_EQ(unit_->ProgramMemory(), Bytes(0x10000, 0x5A));
}

TEST_F(Download, WAnswered55EndsWithErrAndSendsNothingMore) {
  WriteFile({Ramp(0x3000, 128, 1)});
  unit_->AddFault(Fault::BootWReply(0x55));
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);
  EXPECT_EQ(BootTrace(), (std::vector<std::string>{"ﾌﾞﾛｯｸ消去 3000-33FF", "resp 06", "書込中", "err 55"}));
  EXPECT_EQ(BootBytes(), (Bytes{0x45, 0x0A, 0x0A, 0x57}));
  EXPECT_EQ(UiModelBoxes(), (std::vector<std::pair<std::string, std::string>>{{"DOWNLOAD 異常", "KM7200"}}));
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
}

// Every step that can fail ends the download there: nothing more reaches the boot
// loader (no later page, no 0xFF), the unit stays in it, a line names the step and
// a box says the download failed.
struct FailureCase {
  const char* name;
  Fault fault;
  size_t lastMessage;  // index into the message stream below of the one that failed
  const char* line;    // the failure's trace line; nullptr: "err 55"
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DownloadFailure : public Download, public ::testing::WithParamInterface<FailureCase> {
 protected:
  void SetUp() override {
    Download::SetUp();
    // The unit needs no time to erase or get ready here; the failures do not
    // depend on the pauses, which other tests measure.
    BootErasePauseMs = 20;
    BootWritePauseMs = 20;
  }
  void TearDown() override {
    BootErasePauseMs = 400;
    BootWritePauseMs = 1000;
    Download::TearDown();
  }
  // The messages of a whole download of the image below, in order.
  std::vector<Bytes> Messages() const {
    std::vector<Bytes> m = {{0x45, 0x0A, 0x0A}, {0x45, 0x02, 0x02}, {0x57}};
    for (unsigned page : {0x3000u, 0x3080u, 0xC000u}) {
      m.push_back({static_cast<unsigned char>(page & 0xFF), static_cast<unsigned char>(page >> 8)});
      m.push_back(Bytes(image_.begin() + page, image_.begin() + page + BOOT_PAGE_SIZE));
      m.push_back({'U'});
    }
    m.push_back({0xFF});
    return m;
  }
};

TEST_P(DownloadFailure, EndsAtTheFailedStepInTheBootLoader) {
  const FailureCase& c = GetParam();
  WriteFile({Ramp(0x3000, 256, 1), Ramp(0xC000, 128, 2)});
  // The unit's frame reply to CMD_BOOT_ENTER must not stand in for a missing answer.
  unit_->AddFault(Fault::NoReply().Cmd(0x70));
  unit_->AddFault(c.fault);
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);

  Bytes expected;
  std::vector<Bytes> messages = Messages();
  for (size_t i = 0; i <= c.lastMessage; ++i) expected.insert(expected.end(), messages[i].begin(), messages[i].end());
  EXPECT_EQ(BootBytes(), expected);
  std::vector<std::string> trace = BootTrace();
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), c.line ? c.line : "err 55");
  EXPECT_EQ(UiModelBoxes(), (std::vector<std::pair<std::string, std::string>>{{"DOWNLOAD 異常", "KM7200"}}));
  EXPECT_TRUE(unit_->InBootLoader());
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
}

// Message indexes: 0, 1 the erases of rows 1 and 6; 2 "W"; then address, data and
// "U" of page 3000 (3, 4, 5), 3080 (6, 7, 8) and C000 (9, 10, 11); 12 the 0xFF.
INSTANTIATE_TEST_SUITE_P(
    EachStep, DownloadFailure,
    ::testing::Values(
        FailureCase{"FirstEraseSilent", Fault::BootNoReply(BootStep::kErase, 1), 0,
                    "DOWNLOAD 異常 ﾌﾞﾛｯｸ消去 3000 応答なし"},
        FailureCase{"SecondEraseSilent", Fault::BootNoReply(BootStep::kErase, 2), 1,
                    "DOWNLOAD 異常 ﾌﾞﾛｯｸ消去 C000 応答なし"},
        FailureCase{"WSilent", Fault::BootNoReply(BootStep::kWrite, 1), 2, "DOWNLOAD 異常 W 応答なし"},
        FailureCase{"WRefused", Fault::BootWReply(0x55), 2, nullptr},
        FailureCase{"AddressSilent", Fault::BootNoReply(BootStep::kAddress, 1), 3,
                    "DOWNLOAD 異常 書込3000 ｱﾄﾞﾚｽ 応答なし"},
        FailureCase{"AddressRefused", Fault::BootBadSum(BootStep::kAddress, 2), 6,
                    "DOWNLOAD 異常 書込3080 ｱﾄﾞﾚｽ 応答 4f (b0)"},
        FailureCase{"DataSilent", Fault::BootNoReply(BootStep::kData, 3), 10,
                    "DOWNLOAD 異常 書込c000 ﾃﾞｰﾀ 応答なし"},
        FailureCase{"PageEndSilent", Fault::BootNoReply(BootStep::kPageEnd, 1), 5,
                    "DOWNLOAD 異常 書込3000 U 応答なし"}),
    [](const ::testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(Download, AMissingFileShowsTheBoxAndSendsNoBootLoaderByte) {
  FirmwareFilePath = "/nonexistent/enc72.mot";
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);
  auto boxes = UiModelBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], (std::pair<std::string, std::string>{"Cannot read S-Format file.", "KM7200"}));
  // The job has ended with its box; the frame that went before it may still be on
  // its way through a loaded machine's pty.
  unit_->WaitFor([&] { return HostBytes().size() >= kBootEnterFrame.size(); }, 3000);
  EXPECT_EQ(HostBytes(), kBootEnterFrame);
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
}

// The unit's frame reply to CMD_BOOT_ENTER races the job's reading of the file: it
// may be in by the first erase, still on its way, or never come. Whichever, every
// message gets its own answer.
// Paced both ways, the frame reply comes in byte by byte as from the real unit, and the
// receiver may be in the middle of reading it when the download starts.
class DownloadAfterBootEnter : public Download, public ::testing::WithParamInterface<std::tuple<int, bool>> {
 protected:
  void SetUp() override {
    Download::SetUp();
    if (std::get<1>(GetParam())) {
      ASSERT_TRUE(RestartUnitPaced()) << unit_->LastError();
      ASSERT_TRUE(unit_->SetProgramMemory(0, Bytes(0x10000, 0x5A)));
    }
  }
};

TEST_P(DownloadAfterBootEnter, EveryMessageGetsItsOwnReply) {
  const int delayMs = std::get<0>(GetParam());
  WriteFile({Ramp(0x3000, 256, 1), Ramp(0x3400, 128, 2), Ramp(0xC080, 128, 3)});
  if (delayMs < 0) unit_->AddFault(Fault::NoReply().Cmd(0x70));
  else if (delayMs > 0) unit_->AddFault(Fault::Delay(delayMs).Cmd(0x70));
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);

  EXPECT_EQ(BootTrace(), (std::vector<std::string>{"ﾌﾞﾛｯｸ消去 3000-33FF", "resp 06", "ﾌﾞﾛｯｸ消去 3400-37FF",
                                                   "resp 06", "ﾌﾞﾛｯｸ消去 C080-DFFF", "resp 06", "書込中",
                                                   "書込3000", "書込3080", "書込3400", "書込c080"}));
  EXPECT_EQ(unit_->WrittenPages(), (std::vector<uint16_t>{0x3000, 0x3080, 0x3400, 0xC080}));
  if (HasFailure()) DumpUnitLog();
  ExpectBlocksProgrammed();
  EXPECT_TRUE(unit_->WaitFor([&] { return !unit_->InBootLoader(); }, 2000));
}

// At once; within the file's reading; a few ms later, during the first erase's
// pause; after the reply wait has begun; never.
INSTANTIATE_TEST_SUITE_P(ReplyDelays, DownloadAfterBootEnter,
                         ::testing::Combine(::testing::Values(0, 3, 30, 300, -1), ::testing::Bool()));

// Bytes that sit in the queue before a message are not its answer, however many.
TEST_F(Download, BytesWaitingBeforeAMessageAreNotTakenAsItsReply) {
  WriteFile({Ramp(0x3800, 128, 1)});
  unit_->AddFault(Fault::Garbage({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}).Cmd(0x70));
  ASSERT_TRUE(OpenLink());
  ASSERT_GE(Press106(), 0);
  EXPECT_EQ(BootTrace(), (std::vector<std::string>{"ﾌﾞﾛｯｸ消去 3800-3BFF", "resp 06", "書込中", "書込3800"}));
  EXPECT_EQ(unit_->WrittenPages(), std::vector<uint16_t>{0x3800});
  ExpectBlocksProgrammed();
}

TEST_F(Download, AnUnplugEndsTheDownloadPromptly) {
  std::vector<Span> all;
  for (const BootBlock& b : BootBlockTable) all.push_back(Ramp(b.start, b.size, b.code));
  WriteFile(all);
  ASSERT_TRUE(OpenLink());
  std::atomic<bool> unplugged{false};
  Clock::time_point unplugAt;
  std::thread unplugger([&] {
    if (unit_->WaitFor([&] { return unit_->WrittenPages().size() >= 3; }, 20000)) {
      unplugAt = Clock::now();
      unit_->Unplug();
      unplugged = true;
    }
  });
  long ms = Press106();
  unplugger.join();
  ASSERT_TRUE(unplugged.load());
  ASSERT_GE(ms, 0);
  // At most the one reply wait that was running (about a second), not one per page
  // still to come (189 of them).
  long afterUnplug = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - unplugAt).count());
  EXPECT_LT(afterUnplug, 2500 + HeldMs(unplugAt));
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
  std::vector<std::string> trace = BootTrace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace.back().compare(0, 18, "DOWNLOAD 異常 書込"), 0) << trace.back();  // 18 bytes in Shift-JIS
  EXPECT_EQ(trace[trace.size() - 2].compare(0, 4, "書込"), 0) << trace[trace.size() - 2];
  EXPECT_LE(trace.size(), 7u * 2 + 1 + 6 + 1);  // it stopped in row 1
  EXPECT_EQ(UiModelBoxes(), (std::vector<std::pair<std::string, std::string>>{{"DOWNLOAD 異常", "KM7200"}}));
}

int WaitForRelease(void* flag) {
  while (!static_cast<std::atomic<bool>*>(flag)->load()) SleepMs(2);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

TEST_F(Download, DoesNothingWhileAWorkerRunsAndWarnsOnAClosedPort) {
  WriteFile({Ramp(0x3000, 128, 1)});
  OnCommand(IDC_COMMAND2, &JobParams);  // no port yet
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(UiModelBoxes().size(), 1u);

  ASSERT_TRUE(OpenLink());
  std::atomic<bool> release{false};
  ASSERT_TRUE(StartWorker(WaitForRelease, &release));
  size_t frames = unit_->FrameCount();
  OnCommand(IDC_COMMAND2, &JobParams);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(unit_->FrameCount(), frames);
  EXPECT_TRUE(HostBytes().empty());
  EXPECT_FALSE(LinkFlagSet(BootByteMode));
  EXPECT_FALSE(unit_->InBootLoader());
  release = true;
  for (int i = 0; i < 500 && !WorkerEndPosted(); ++i) SleepMs(2);
  OnUserMessage(UM_JOIN_WORKER, &JobParams);
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(UiModelBoxes().size(), 1u);
}

}  // namespace
