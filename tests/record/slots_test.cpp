// [Slots] of QB2BENCH.INI as an engineer edits it.
#include <gtest/gtest.h>

#include <string>

#include "record/slots.h"

namespace {

// Places hold '#' and '\'; a bad line costs itself; a slot named twice with two
// places is taken for neither; the bench's section and others are not slots.
TEST(SlotsText, ReadAsEditorsWriteIt) {
  SlotsText t;
  ParseSlotsText("\xEF\xBB\xBF; fixture 3\n[QB2BENCH]\r\n1=COM7\r\n[ slots ]\n"
                 " 1 = Port_#0001.Hub_#0002 \r\n# slot 2 by its path\n2=PCIROOT(0)#PCI(1400)#USB(2)\n\n"
                 "03=VID_1234&PID_5678\\SN0003\n0=x\n1000=x\nA=x\n4=\n5\n6=a\n6=a\n7=a\n7=b\n7=c\n[Other]\n8=x\n",
                 &t);
  EXPECT_TRUE(t.hasSection);
  ASSERT_EQ(t.slots.size(), 5u);
  EXPECT_EQ(FindSlot(t, 1)->where, "Port_#0001.Hub_#0002");
  EXPECT_EQ(FindSlot(t, 2)->where, "PCIROOT(0)#PCI(1400)#USB(2)");
  EXPECT_EQ(FindSlot(t, 3)->where, "VID_1234&PID_5678\\SN0003");
  EXPECT_FALSE(FindSlot(t, 6)->twice);
  EXPECT_TRUE(FindSlot(t, 7)->twice);
  EXPECT_EQ(FindSlot(t, 8), nullptr);
  ASSERT_EQ(t.problems.size(), 6u);  // 0, 1000, A, 4, 5, and 7 once
  EXPECT_EQ(t.problems[0], "[Slots] line 10 is no \"slot=place\" (slot 1-999): 0=x");
}

}  // namespace
