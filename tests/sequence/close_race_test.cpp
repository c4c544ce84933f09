// The end of a run closes the port with a synchronous close while the operator's
// own close (or the dialog's end) may be joining the receiver: the dialog's thread
// serves sent messages during that join, so the two closes overlap. Only one of
// them may join and close the receiver's thread handle.
#include <atomic>
#include <thread>

#include "tests/sequence/sequence_fixture.h"

namespace {

class CloseRace : public SequenceOnUnit {};

TEST_F(CloseRace, TwoOverlappingClosesJoinTheReceiverOnce) {
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(OpenLink()) << round;
    std::atomic<int> ready{0};
    auto together = [&ready] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
    };
    // The operator's close on the "dialog thread", the run's end-state close as a
    // sent command.
    std::thread operatorClose([&] {
      together();
      OnCommand(IDC_CLOSE, &JobParams);
    });
    std::thread runClose([&] {
      together();
      UiSendCommand(IDC_CLOSE);
    });
    operatorClose.join();
    runClose.join();
    // Whichever returned first may have left the stop to the other; both are done now.
    EXPECT_EQ(PortHandle.load(), nullptr) << round;
    EXPECT_FALSE(LinkFlagSet(StopReceiver)) << round;
    EXPECT_TRUE(unit_->WaitForHostOpen(false, 2000)) << round;
  }
  // The link still opens and works afterwards.
  ASSERT_TRUE(OpenLink());
  EXPECT_EQ(Request(0x61), 0);
}

}  // namespace
