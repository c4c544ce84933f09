// The flash jobs through the dialog's buttons, over a real pseudo-terminal against
// the virtual unit, with the in-memory dialog (its boxes count as confirmed).
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/dialog.h"
#include "app/worker_thread.h"
#include "flash/flash.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/file.h"
#include "platform/ui.h"
#include "tests/link/unit_fixture.h"

namespace {

using qb2sim::Fault;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

const char* const kBadInput = "入力値異常";

struct MemRequest {
  unsigned sub;
  uint32_t address;
  uint32_t count;  // data bytes of a write; the count or size field otherwise
  bool operator==(const MemRequest& o) const { return sub == o.sub && address == o.address && count == o.count; }
};
std::ostream& operator<<(std::ostream& os, const MemRequest& r) {
  return os << "{sub " << std::hex << r.sub << " at 0x" << r.address << std::dec << " count " << r.count << "}";
}

class FlashJobs : public UnitOnPort {
 protected:
  void SetUp() override {
    UnitOnPort::SetUp();
    JobParams = JobParamsRecord();
    UseDialogOutlets();
    WorkerThread = nullptr;
  }
  void TearDown() override {
    if (WorkerThread) {  // a test that failed half-way: let the job end first
      WaitJobEnd(10000);
    }
    UnitOnPort::TearDown();
  }

  std::string Path(const std::string& name) { return dir_ + "/" + name; }

  void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  Bytes ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }

  void Boxes(const std::string& address, const std::string& size, const std::string& file) {
    UiSetText(IDC_FLASH_ADDR, address.c_str());
    UiSetText(IDC_FLASH_SIZE, size.c_str());
    UiSetText(IDC_FLASH_FILE, file.c_str());
  }
  void Press(int id) { OnCommand(id, &JobParams); }

  // Waits for the job's UM_JOIN_WORKER and hands it to the dialog, which joins the
  // thread. boxesAtEnd_: the boxes already shown when the message was posted.
  bool WaitJobEnd(int ms) {
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      for (const UiMessage& m : UiModelTakePosted()) {
        if (m.message == UM_JOIN_WORKER) {
          EXPECT_EQ(m.wParam, 0u);
          EXPECT_EQ(m.lParam, 0);
          boxesAtEnd_ = UiModelBoxes().size();
          OnUserMessage(UM_JOIN_WORKER, &JobParams);
          EXPECT_EQ(WorkerThread, nullptr);
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Presses the button and waits for the job to end.
  bool Run(int id, int ms = 10000) {
    Press(id);
    if (!WorkerRunning()) return false;
    return WaitJobEnd(ms);
  }

  std::vector<MemRequest> MemoryRequests() {
    std::vector<MemRequest> out;
    for (const qb2sim::FrameRecord& f : unit_->Frames()) {
      if (f.code != 0x50 || f.payload.size() < 4) continue;
      const Bytes& p = f.payload;
      uint32_t address = p[1] | p[2] << 8 | p[3] << 16;
      uint32_t count = p[0] == 0x84 ? static_cast<uint32_t>(p.size() - 4)
                                    : (p.size() >= 6 ? static_cast<uint32_t>(p[4] | p[5] << 8) : 0);
      out.push_back(MemRequest{p[0], address, count});
    }
    return out;
  }
  std::vector<std::string> BoxTexts() {
    std::vector<std::string> out;
    for (auto& b : UiModelBoxes()) {
      EXPECT_EQ(b.second, "KM7200") << b.first;
      out.push_back(b.first);
    }
    return out;
  }
  Bytes FlashRange(uint32_t address, size_t n) {
    Bytes f = unit_->Flash();
    return Bytes(f.begin() + address, f.begin() + address + n);
  }

  size_t boxesAtEnd_ = 0;
};

TEST_F(FlashJobs, WriteCutsChunksAtPageBoundariesAndSkipsBlankOnes) {
  ASSERT_TRUE(OpenLink());
  Bytes data = Pattern(0x220, 1);
  std::fill(data.begin() + 0x10, data.begin() + 0x110, 0xFF);  // the chunk at 0x200 is blank
  WriteFileBytes(Path("w.bin"), data);
  Boxes("496", "", Path("w.bin"));  // 0x1F0, size from the file
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "544");
  EXPECT_EQ(MemoryRequests(), (std::vector<MemRequest>{{0x84, 0x1F0, 16}, {0x84, 0x300, 256}, {0x84, 0x400, 16}}));
  EXPECT_EQ(FlashRange(0x1F0, 0x220), data);
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(JobParams.address, 0x1F0u);
  EXPECT_EQ(JobParams.size, 0x220u);

  // The same without the blank chunk: 16 / 256 / 256 / 16.
  Bytes full = Pattern(0x220, 2);
  WriteFileBytes(Path("w.bin"), full);
  ASSERT_TRUE(unit_->SetFlash(0, Bytes(0x1000, 0xFF)));
  size_t before = MemoryRequests().size();
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));  // box 201 keeps 544
  std::vector<MemRequest> sent = MemoryRequests();
  EXPECT_EQ(std::vector<MemRequest>(sent.begin() + static_cast<long>(before), sent.end()),
            (std::vector<MemRequest>{{0x84, 0x1F0, 16}, {0x84, 0x200, 256}, {0x84, 0x300, 256}, {0x84, 0x400, 16}}));
  EXPECT_EQ(FlashRange(0x1F0, 0x220), full);
}

TEST_F(FlashJobs, AnErasedFileSendsNothingAndStillEnds) {
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("ff.bin"), Bytes(1000, 0xFF));
  Boxes("0", "", Path("ff.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "1000");
  EXPECT_TRUE(MemoryRequests().empty());
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(FlashJobs, ReadCrossesPageBoundariesAndLeavesBox201Alone) {
  Bytes flash = Pattern(0x200, 3);
  ASSERT_TRUE(unit_->SetFlash(0, flash));
  ASSERT_TRUE(OpenLink());
  Boxes("16", "300", Path("r.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_READ));
  EXPECT_EQ(MemoryRequests(), (std::vector<MemRequest>{{0x04, 0x10, 256}, {0x04, 0x110, 44}}));
  EXPECT_EQ(ReadFileBytes(Path("r.bin")), Bytes(flash.begin() + 0x10, flash.begin() + 0x10 + 300));
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "300");
  EXPECT_TRUE(BoxTexts().empty());

  // An empty size box stays empty for a read, and is refused.
  Boxes("16", "", Path("r2.bin"));
  Press(IDC_FLASH_READ);
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kBadInput});
  EXPECT_EQ(FileSizeOf(Path("r2.bin").c_str()), -1);
}

TEST_F(FlashJobs, RangeRuleRefusesBeforeAnyRequest) {
  ASSERT_TRUE(OpenLink());
  struct Case {
    const char* address;
    const char* size;
    bool accepted;
  } cases[] = {
      {"130816", "256", true},          // 0x1FF00 + 0x100 ends at the top
      {"130816", "257", false},         // one past it
      {"131072", "1", false},           // 0x20000: no size fits
      {"0", "-1", false},               // 0xFFFFFFFF as unsigned
      {"-1", "2", false},               // would wrap to 1
      {"0", "0", false},
      {"0", "4294967297", false},       // 2^32 + 1, not a size of 1
      {"4294967296", "1", false},       // 2^32, not address 0
      {"abc", " +1xyz", true},          // letters give address 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " + " + c.size);
    UiModelReset();
    size_t before = MemoryRequests().size();
    Boxes(c.address, c.size, Path("range.bin"));
    Press(IDC_FLASH_READ);
    if (c.accepted) {
      ASSERT_TRUE(WorkerRunning());
      ASSERT_TRUE(WaitJobEnd(5000));
      EXPECT_TRUE(BoxTexts().empty());
      EXPECT_EQ(MemoryRequests().size(), before + 1);
    } else {
      EXPECT_FALSE(WorkerRunning());
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{kBadInput});
      EXPECT_EQ(MemoryRequests().size(), before);
      EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), c.size);  // the refused value stays
    }
  }
  EXPECT_EQ(MemoryRequests().back(), (MemRequest{0x04, 0, 1}));
}

TEST_F(FlashJobs, EmptySizeBoxTakesTheFileLength) {
  ASSERT_TRUE(OpenLink());
  Bytes data = Pattern(1000, 4);
  WriteFileBytes(Path("k.bin"), data);
  Boxes("0", "", Path("k.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "1000");
  EXPECT_EQ(MemoryRequests().size(), 4u);  // 256 + 256 + 256 + 232
  EXPECT_EQ(FlashRange(0, 1000), data);
  EXPECT_EQ(FlashRange(1000, 24), Bytes(24, 0xFF));

  WriteFileBytes(Path("empty.bin"), {});
  Boxes("0", "", Path("empty.bin"));
  Press(IDC_FLASH_WRITE);
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "0");
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{kBadInput});
  EXPECT_EQ(MemoryRequests().size(), 4u);
}

TEST_F(FlashJobs, FilesThatCannotBeOpenedAndTheClosedPort) {
  WriteFileBytes(Path("k.bin"), Pattern(10, 5));
  Boxes("0", "", Path("k.bin"));
  Press(IDC_FLASH_WRITE);  // port closed: the warning, and the file is not even loaded
  EXPECT_FALSE(WorkerRunning());
  ASSERT_EQ(UiModelBoxes().size(), 1u);
  EXPECT_EQ(UiModelBoxes()[0].second, "");  // WarnPortClosed
  EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");

  ASSERT_TRUE(OpenLink());
  for (int id : {IDC_FLASH_WRITE, IDC_FLASH_ERASE}) {
    for (const std::string& name : {Path("missing.bin"), dir_ /* a folder */}) {
      UiModelReset();
      Boxes("0", "", name);
      Press(id);
      EXPECT_FALSE(WorkerRunning());
      EXPECT_EQ(BoxTexts(), std::vector<std::string>{"OPEN ERROR"}) << id << " " << name;
      EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");
    }
  }
  if (geteuid() != 0) {  // root opens a read-only file for writing all the same
    chmod(Path("k.bin").c_str(), 0444);
    UiModelReset();
    Boxes("0", "10", Path("k.bin"));
    Press(IDC_FLASH_WRITE);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"OPEN ERROR"});
  }
  EXPECT_TRUE(MemoryRequests().empty());
}

// The erase request's size field is 16 bits: a range is erased in pieces of at
// most 32 KiB, and every size erases exactly its range, no more and no less.
TEST_F(FlashJobs, EraseCoversExactlyItsRangeInPiecesOf32KiB) {
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("e.bin"), Pattern(16, 7));
  struct Case {
    uint32_t address, size;
    std::vector<MemRequest> requests;
  } cases[] = {
      {0x1234, 1, {{0x44, 0x1234, 1}}},
      {0x0, 0x8000, {{0x44, 0x0, 0x8000}}},
      {0x100, 0x8001, {{0x44, 0x100, 0x8000}, {0x44, 0x8100, 1}}},
      {0x10, 70000, {{0x44, 0x10, 0x8000}, {0x44, 0x8010, 0x8000}, {0x44, 0x10010, 70000 - 0x10000}}},
      {0x10000, 0x10000, {{0x44, 0x10000, 0x8000}, {0x44, 0x18000, 0x8000}}},
      {0x0, 0x20000, {{0x44, 0x0, 0x8000}, {0x44, 0x8000, 0x8000}, {0x44, 0x10000, 0x8000}, {0x44, 0x18000, 0x8000}}},
  };
  const Bytes before = Pattern(0x20000, 6);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    ASSERT_TRUE(unit_->SetFlash(0, before));
    UiModelReset();
    size_t sent = MemoryRequests().size();
    Boxes(std::to_string(c.address), std::to_string(c.size), Path("e.bin"));
    ASSERT_TRUE(Run(IDC_FLASH_ERASE));
    EXPECT_TRUE(BoxTexts().empty());
    std::vector<MemRequest> all = MemoryRequests();
    EXPECT_EQ(std::vector<MemRequest>(all.begin() + static_cast<long>(sent), all.end()), c.requests);
    Bytes expect = before;
    std::fill(expect.begin() + c.address, expect.begin() + c.address + c.size, 0xFF);
    EXPECT_EQ(unit_->Flash(), expect);
  }
}

// A refused piece ends the job with its box: the pieces after it are not sent, and
// what was erased before it stays erased.
TEST_F(FlashJobs, ARefusedSecondErasePieceEndsTheJob) {
  const Bytes before = Pattern(0x20000, 8);
  ASSERT_TRUE(unit_->SetFlash(0, before));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x44).Nth(2));
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("e.bin"), Pattern(16, 7));
  Boxes("0", "131072", Path("e.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_ERASE));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH ERASE 異常"});
  EXPECT_EQ(boxesAtEnd_, 1u);
  EXPECT_EQ(MemoryRequests(), (std::vector<MemRequest>{{0x44, 0, 0x8000}, {0x44, 0x8000, 0x8000}}));
  Bytes expect = before;
  std::fill(expect.begin(), expect.begin() + 0x8000, 0xFF);
  EXPECT_EQ(unit_->Flash(), expect);
}

// Status '1' on the n-th request of each job: the box, later chunks not sent, the
// end message after the box, and for a read a file of exactly size bytes whose
// unread part is erased flash rather than what the buffer held before.
TEST_F(FlashJobs, RefusedRequestsEndEachJobWithItsBox) {
  Bytes flash = Pattern(0x800, 8);
  ASSERT_TRUE(unit_->SetFlash(0x4000, flash));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x84).Nth(2));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x04).Nth(2));
  unit_->AddFault(Fault::Status('1').Cmd(0x50).Sub(0x44).Nth(1));
  ASSERT_TRUE(OpenLink());

  WriteFileBytes(Path("w.bin"), Pattern(0x400, 9));  // fills the buffer with non-0xFF bytes
  Boxes("0", "", Path("w.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH WRITE 異常"});
  EXPECT_EQ(boxesAtEnd_, 1u);
  EXPECT_EQ(MemoryRequests(), (std::vector<MemRequest>{{0x84, 0, 256}, {0x84, 0x100, 256}}));

  UiModelReset();
  Boxes("16384", "1024", Path("r.bin"));  // 0x4000
  ASSERT_TRUE(Run(IDC_FLASH_READ));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH READ 異常"});
  EXPECT_EQ(boxesAtEnd_, 1u);
  EXPECT_EQ(MemoryRequests().size(), 4u);  // the second read was the last
  Bytes file = ReadFileBytes(Path("r.bin"));
  ASSERT_EQ(file.size(), 1024u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 256), Bytes(flash.begin(), flash.begin() + 256));
  EXPECT_EQ(Bytes(file.begin() + 256, file.end()), Bytes(768, 0xFF));

  UiModelReset();
  Boxes("0", "256", Path("w.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_ERASE));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH ERASE 異常"});
  EXPECT_EQ(boxesAtEnd_, 1u);
  EXPECT_EQ(MemoryRequests().back(), (MemRequest{0x44, 0, 256}));
}

TEST_F(FlashJobs, DamagedRepliesFailAtOnce) {
  unit_->AddFault(Fault::BadChecksum().Cmd(0x50).Sub(0x84).Nth(1));
  unit_->AddFault(Fault::NoEtx().Cmd(0x50).Sub(0x04).Nth(1));
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("w.bin"), Pattern(0x200, 10));
  Boxes("0", "", Path("w.bin"));
  Clock::time_point t = Clock::now();
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH WRITE 異常"});
  EXPECT_EQ(MemoryRequests().size(), 1u);

  UiModelReset();
  Boxes("0", "16", Path("r.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_READ));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH READ 異常"});
  EXPECT_EQ(ReadFileBytes(Path("r.bin")), Bytes(16, 0xFF));
  // Neither waited for a time-out.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t).count(), 1.5);
}

TEST_F(FlashJobs, NoReplyIsAFailedRequestAfterItsBound) {
  unit_->AddFault(Fault::NoReply().Cmd(0x50).Sub(0x84).Nth(2));
  unit_->AddFault(Fault::NoReply().Cmd(0x50).Sub(0x04).Nth(1));
  unit_->AddFault(Fault::NoReply().Cmd(0x50).Sub(0x44).Nth(1));
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("w.bin"), Pattern(0x300, 11));
  const struct {
    int id;
    const char* size;
    const char* box;
    double minS;
  } jobs[] = {
      {IDC_FLASH_WRITE, "768", "FLASH WRITE 異常", 2.0},
      {IDC_FLASH_READ, "300", "FLASH READ 異常", 2.0},
      {IDC_FLASH_ERASE, "256", "FLASH ERASE 異常", 5.0},
  };
  for (const auto& j : jobs) {
    UiModelReset();
    Boxes("0", j.size, Path(j.id == IDC_FLASH_READ ? "r.bin" : "w.bin"));
    Clock::time_point t = Clock::now();
    ASSERT_TRUE(Run(j.id, 15000)) << j.box;
    double s = std::chrono::duration<double>(Clock::now() - t).count();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{j.box});
    EXPECT_GE(s, j.minS);
    EXPECT_LT(s, j.minS + 3.0);
  }
  EXPECT_EQ(MemoryRequests().size(), 4u);  // two writes, one read, one erase
  EXPECT_EQ(ReadFileBytes(Path("r.bin")), Bytes(300, 0xFF));
}

TEST_F(FlashJobs, UnplugInTheMiddleOfAJob) {
  Bytes flash = Pattern(0x400, 12);
  ASSERT_TRUE(unit_->SetFlash(0, flash));
  unit_->AddFault(Fault::UnplugAfter(2).Cmd(0x50).Sub(0x04));
  ASSERT_TRUE(OpenLink());
  Boxes("0", "1024", Path("r.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_READ, 15000));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH READ 異常"});
  Bytes file = ReadFileBytes(Path("r.bin"));
  ASSERT_EQ(file.size(), 1024u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 512), Bytes(flash.begin(), flash.begin() + 512));
  EXPECT_EQ(Bytes(file.begin() + 512, file.end()), Bytes(512, 0xFF));

  // A write on the port the unit has gone from fails the same way.
  WriteFileBytes(Path("w.bin"), Pattern(0x100, 13));
  UiModelReset();
  Boxes("0", "", Path("w.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_WRITE, 15000));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"FLASH WRITE 異常"});
}

TEST_F(FlashJobs, AWriteNeverSendsWhatAnEarlierJobLeftInTheBuffer) {
  ASSERT_TRUE(unit_->SetFlash(0, Pattern(0x1000, 14)));
  ASSERT_TRUE(OpenLink());
  Boxes("0", "4096", Path("r.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_READ));  // the buffer now holds 4 KiB of device data
  Bytes small = Pattern(16, 15);
  WriteFileBytes(Path("small.bin"), small);
  Boxes("32768", "4096", Path("small.bin"));  // 0x8000, a size far past the file
  size_t before = MemoryRequests().size();
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  std::vector<MemRequest> sent = MemoryRequests();
  EXPECT_EQ(std::vector<MemRequest>(sent.begin() + static_cast<long>(before), sent.end()),
            (std::vector<MemRequest>{{0x84, 0x8000, 256}}));
  Bytes expect(0x1000, 0xFF);
  std::copy(small.begin(), small.end(), expect.begin());
  EXPECT_EQ(FlashRange(0x8000, 0x1000), expect);
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(FlashJobs, ButtonsDoNothingWhileAWorkerRuns) {
  ASSERT_TRUE(OpenLink());
  unit_->SetReplyDelay(200);
  Bytes data = Pattern(0x400, 16);
  WriteFileBytes(Path("w.bin"), data);
  WriteFileBytes(Path("other.bin"), Pattern(0x100, 17));
  Boxes("0", "", Path("w.bin"));
  Press(IDC_FLASH_WRITE);
  ASSERT_TRUE(WorkerRunning());
  ThreadHandle first = WorkerThread;
  for (int id : {IDC_FLASH_READ, IDC_FLASH_ERASE, IDC_FLASH_WRITE}) {
    Boxes("8", "", Path("other.bin"));
    Press(id);
    EXPECT_EQ(WorkerThread, first);
    EXPECT_EQ(UiModelText(IDC_FLASH_SIZE), "");  // no file was loaded
  }
  EXPECT_EQ(std::string(JobParams.fileName), Path("w.bin"));
  EXPECT_EQ(JobParams.size, 0x400u);
  ASSERT_TRUE(WaitJobEnd(10000));
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(FlashRange(0, 0x400), data);
  std::vector<MemRequest> sent = MemoryRequests();
  EXPECT_EQ(sent.size(), 4u);
  for (const MemRequest& r : sent) EXPECT_EQ(r.sub, 0x84u);
  EXPECT_EQ(FileSizeOf(Path("other.bin").c_str()), 0x100);
  // Once the job has been joined the buttons work again.
  unit_->SetReplyDelay(0);
  Boxes("0", "16", Path("r.bin"));
  ASSERT_TRUE(Run(IDC_FLASH_READ));
  EXPECT_EQ(ReadFileBytes(Path("r.bin")), Bytes(data.begin(), data.begin() + 16));
}

// A name the box cannot hold whole would be cut and name another file: refused
// with a box, nothing sent, no file written; the log box likewise.
TEST_F(FlashJobs, ANameTooLongToHoldWholeIsRefused) {
  ASSERT_TRUE(OpenLink());
  std::string longName = dir_ + "/" + std::string(300, 'n');
  Boxes("0", "16", longName);
  Press(IDC_FLASH_READ);
  EXPECT_FALSE(WorkerRunning());
  UiSetText(IDC_LOG_FILE, longName.c_str());
  Boxes("0", "16", Path("r.bin"));
  Press(IDC_FLASH_READ);
  UiSetText(IDC_LOG_FILE, "");
  EXPECT_FALSE(WorkerRunning());
  EXPECT_EQ(unit_->FrameCount(), 0u);
  EXPECT_EQ(FileSizeOf(longName.substr(0, 255).c_str()), -1);
  EXPECT_EQ(FileSizeOf(Path("r.bin").c_str()), -1);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"ファイルの名前が長すぎます (255 バイトまで)",
                                                  "ログファイルの名前が長すぎます (255 バイトまで)"}));
}

// The flash figure runs against a unit paced both ways: a 256-byte page write must
// then take its wire time (267 + 7 bytes at 3,840 bytes/s, about 71 ms) to be
// answered, where an unpaced pty answers in well under that.
TEST_F(FlashJobs, APacedUnitTakesTheHostsBytesAtWireSpeed) {
  ASSERT_TRUE(RestartUnitPaced()) << unit_->LastError();
  ASSERT_TRUE(OpenLink());
  WriteFileBytes(Path("p.bin"), Pattern(0x200, 18));
  Boxes("0", "", Path("p.bin"));
  Clock::time_point t = Clock::now();
  ASSERT_TRUE(Run(IDC_FLASH_WRITE));
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
  EXPECT_GE(ms, 2 * (267 + 7) / 3.84);  // two pages
  EXPECT_EQ(MemoryRequests().size(), 2u);
  EXPECT_TRUE(BoxTexts().empty());
}

}  // namespace
