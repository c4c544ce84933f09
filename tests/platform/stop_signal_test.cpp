// Stop signals on POSIX: SIGINT and SIGTERM reach the handler and end nothing.
#include <gtest/gtest.h>

#include "tests/platform/platform_support.h"

namespace {

TEST(StopHandler, InterruptAndTerminateAreCountedAndTheProcessGoesOn) {
  Child child({"stop"});
  ASSERT_NE(child.process, nullptr);
  EXPECT_EQ(child.ReadLine(), "stops=2\n");
  EXPECT_EQ(child.Finish(), 0);
}

}  // namespace
