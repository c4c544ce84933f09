// The boot loader's byte protocol after CMD_BOOT_ENTER.
#include <numeric>

#include "tests/sim/pty_client.h"

namespace qb2sim_test {
namespace {

using qb2sim::BootStep;
using qb2sim::Fault;
const Bytes kOkEmpty = {0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D};

class SimBootLoader : public UnitTest {
 protected:
  void SetUp() override {
    UnitTest::SetUp();
    ASSERT_EQ(host_.Request(0x70, {}), kOkEmpty);
    ASSERT_TRUE(unit_.InBootLoader());
  }
  // One message, its one-byte reply (-1 for none within the window).
  int Say(const Bytes& b, int windowMs = 1000) {
    if (!host_.Write(b)) return -2;
    const Bytes r = host_.Read(1, windowMs);
    return r.empty() ? -1 : r[0];
  }
};

TEST_F(SimBootLoader, FullDownloadThenBackToFrames) {
  unit_.SetProgramMemory(0x3000, Bytes(0x400, 0x00));
  EXPECT_EQ(Say({'E', 0x0A, 0x0A}), 0x06);
  EXPECT_EQ(Say({'W'}), 0xAA);
  EXPECT_EQ(Say({0x00, 0x30}), 0x30);
  EXPECT_TRUE(host_.Read(10, 20).empty());  // the host's discard read finds nothing
  EXPECT_EQ(Say(Bytes(128, 0x01)), 0x80);
  EXPECT_EQ(Say({'U'}), 0x06);
  EXPECT_EQ(Say({0x80, 0xA0}), 0x20);
  Bytes page(128);
  std::iota(page.begin(), page.end(), 0);
  EXPECT_EQ(Say(page), std::accumulate(page.begin(), page.end(), 0) & 0xFF);
  EXPECT_EQ(Say({'U'}), 0x06);
  EXPECT_EQ(Say({0xFF}, 200), -1);
  EXPECT_TRUE(unit_.WaitFor([&] { return !unit_.InBootLoader(); }, 2000));
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);

  const Bytes mem = unit_.ProgramMemory();
  EXPECT_EQ(Bytes(mem.begin() + 0x3000, mem.begin() + 0x3080), Bytes(128, 0x01));
  EXPECT_EQ(mem[0x3080], 0xFF);  // rest of the erased block
  EXPECT_EQ(Bytes(mem.begin() + 0xA080, mem.begin() + 0xA100), page);
  EXPECT_EQ(unit_.ErasedBlocks(), Bytes{0x0A});
  EXPECT_EQ(unit_.WrittenPages(), (std::vector<uint16_t>{0x3000, 0xA080}));
}

TEST_F(SimBootLoader, RefusesWhatLiesOutsideItsBlocks) {
  EXPECT_EQ(Say({'E', 0x0A, 0x0B}), 0x15);
  EXPECT_EQ(Say({'E', 0x04, 0x04}), 0x15);
  EXPECT_TRUE(unit_.ErasedBlocks().empty());
  EXPECT_EQ(Say({'W'}), 0xAA);
  EXPECT_EQ(Say({0x00, 0x40}), 0xBF);  // 0x4000 is never programmed
  EXPECT_EQ(Say({0x40, 0x30}), 0x8F);  // not on a page boundary
  EXPECT_EQ(Say({0x00, 0xE0}), 0xE0);  // still waiting for an address
}

TEST_F(SimBootLoader, Faults) {
  unit_.AddFault(Fault::BootNoReply(BootStep::kErase));
  unit_.AddFault(Fault::BootBadSum(BootStep::kData, 1));
  unit_.AddFault(Fault::BootNoReply(BootStep::kAddress, 2));
  EXPECT_EQ(Say({'E', 0x01, 0x01}, 300), -1);
  EXPECT_EQ(unit_.ErasedBlocks(), Bytes{0x01});  // done, only the reply was lost
  EXPECT_EQ(Say({'W'}), 0xAA);
  EXPECT_EQ(Say({0x00, 0xE0}), 0xE0);
  EXPECT_EQ(Say(Bytes(128, 0x02)), 0xFF);  // complement of 0x00: page refused
  EXPECT_EQ(Say({0x00, 0xE0}, 1200), -1);   // accepted, reply lost; host gives up
  EXPECT_EQ(Say({0x80, 0xE0}), 0x60);       // the loader found its way back
  EXPECT_EQ(Say(Bytes(128, 0x02)), 0x00);
  EXPECT_EQ(Say({'U'}), 0x06);
  EXPECT_EQ(unit_.WrittenPages(), (std::vector<uint16_t>{0xE080}));
}

TEST_F(SimBootLoader, WrongWriteReplyKeepsTheLoaderOutOfWriting) {
  unit_.AddFault(Fault::BootWReply(0x55));
  EXPECT_EQ(Say({'W'}), 0x55);
  EXPECT_EQ(Say({0x00, 0x30}, 300), -1);
  EXPECT_EQ(Say({0xFF}, 200), -1);
  EXPECT_TRUE(unit_.InBootLoader());  // 0xFF ends only a download that is writing
}

TEST_F(SimBootLoader, UnplugPowerCyclesOutOfTheLoader) {
  unit_.Unplug();
  EXPECT_FALSE(unit_.InBootLoader());
  ASSERT_TRUE(unit_.Replug());
  ASSERT_TRUE(host_.Open(unit_.SlavePath()));
  EXPECT_EQ(host_.Request(0x61, {}), kOkEmpty);
}

}  // namespace
}  // namespace qb2sim_test
