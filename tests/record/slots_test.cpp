// [Slots] of QB2BENCH.INI as an engineer edits it, and kept through the writes of
// the bench and the serial number claims, which rewrite the file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "record/serial_counter.h"
#include "record/settings.h"
#include "record/slots.h"
#include "tests/temp_dir.h"

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

// A claim rewrites QB2BENCH.INI with the next number: the slots and another
// program's section stay, the UTF-8 comment in Shift-JIS as the rest of the file;
// and a file of slots alone is the bench's to read, not to move aside.
TEST(SlotsFile, AClaimKeepsTheSlots) {
  const std::string dir = MakeTempDir("slots");
  ASSERT_FALSE(dir.empty());
  const std::string ini = dir + "/QB2BENCH.INI";
  // The slots alone are no damaged file for the bench to move aside.
  std::ofstream(ini, std::ios::binary) << "[Slots]\n1=Port_#0001.Hub_#0002\n";
  SettingsText settings;
  std::string kept;
  EXPECT_EQ(ReadSettingsFile(ini.c_str(), &settings, &kept), SETTINGS_READ);
  EXPECT_EQ(kept, "");
  std::ofstream(ini, std::ios::binary) << "\xEF\xBB\xBF[Slots]\n1=Port_#0001.Hub_#0002\n; \xE6\xA4\x9C\xE6\x9F\xBB\n"
                                          "[QB2BENCH]\nSerialNumber=00000010\n[Other]\nk=v\n";
  int32_t first = 0;
  std::string error;
  ASSERT_EQ(ClaimSerialNumbers(ini.c_str(), 4, &first, &error), CLAIM_TAKEN) << error;
  ASSERT_EQ(ClaimSerialNumbers(ini.c_str(), 1, &first, &error), CLAIM_TAKEN) << error;
  EXPECT_EQ(first, 14);
  std::ifstream in(ini, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "\xEF\xBB\xBF[Slots]\n1=Port_#0001.Hub_#0002\n; \xE6\xA4\x9C\xE6\x9F\xBB\n"
                  "[QB2BENCH]\nSerialNumber=00000015\n[Other]\nk=v\n");
  SlotsText t;
  EXPECT_EQ(ReadSlotsFile(ini.c_str(), &t), SLOTS_READ);
  ASSERT_NE(FindSlot(t, 1), nullptr);
  EXPECT_EQ(FindSlot(t, 1)->where, "Port_#0001.Hub_#0002");
  RemoveTempDir(dir);
}

}  // namespace
