// Which present port a slot names: over a list as Windows gives it, and over
// udev's by-path and by-id links as Linux gives them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "detect/slots.h"
#include "tests/temp_dir.h"

namespace {

SerialDevice Device(const char* port, const char* location, const char* identity,
                    std::vector<std::string> paths = {}) {
  SerialDevice d;
  d.port = port;
  d.location = location;
  d.identity = identity;
  d.locationPaths = paths;
  return d;
}

// A slot finds its unit by place, path or device, in any case, never by a part of
// a name; none, two ports at one place (two COM ports of one device), and two
// slots at one port each fail alone.
TEST(SlotPorts, OnePortASlotOrTheSlotsFault) {
  const std::vector<SerialDevice> present = {
      Device("COM12", "Port_#0001.Hub_#0002", "VID_1234&PID_5678\\SN01", {"PCIROOT(0)#USB(2)#USB(1)"}),
      Device("COM9", "Port_#0002.Hub_#0002", "VID_1234&PID_5678\\SN02"),
      Device("COM10", "Port_#0004.Hub_#0002", "VID_1234&PID_5678\\SN04"),
      Device("COM13", "Port_#0004.Hub_#0002", "VID_1234&PID_5678\\SN05"),
      Device("COM14", "Port_#0005.Hub_#0002", "VID_1234&PID_5678\\SN06"),
  };
  std::vector<SlotUnit> slots(7);
  const char* places[] = {"pciroot(0)#usb(2)#usb(1)", "vid_1234&pid_5678\\sn02", "Port_#0003.Hub_#0002",
                          "Port_#0004.Hub_#0002",     "Port_#0005",             "Port_#0005.Hub_#0002",
                          "VID_1234&PID_5678\\SN06"};
  for (int i = 0; i < 7; ++i) {
    slots[static_cast<size_t>(i)].slot = i + 1;
    slots[static_cast<size_t>(i)].where = places[i];
  }
  FindSlotUnits(present, &slots);
  const int found[] = {SLOT_UNIT, SLOT_UNIT, SLOT_NO_UNIT, SLOT_TWO_UNITS, SLOT_NO_UNIT, SLOT_SHARED, SLOT_SHARED};
  const char* ports[] = {"COM12", "COM9", "", "", "", "", ""};
  for (size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(slots[i].found, found[i]) << i;
    EXPECT_EQ(slots[i].port, ports[i]) << i;
  }
  EXPECT_EQ(slots[2].why, "slot 3: no unit at Port_#0003.Hub_#0002");
  EXPECT_EQ(slots[3].why, "slot 4: 2 ports at Port_#0004.Hub_#0002: COM10 COM13");
  EXPECT_EQ(slots[5].why, "slot 6: slot 7 names the same port COM14");
}

// udev's links: a port is where its links lead, by place (a second by-path name
// too) and by device; a dangling link is a unit gone, and a slot polled again
// sees it go. No /dev/serial at all is no port, not a failure.
TEST(SlotPorts, ByPathAndByIdLinks) {
  const std::string dir = MakeTempDir("serial");
  ASSERT_FALSE(dir.empty());
  ASSERT_EQ(system(("cd " + dir + " && mkdir by-path by-id && touch ttyACM0 ttyACM1 && "
                    "ln -s ../ttyACM0 by-path/usb-0:1.1 && ln -s ../ttyACM0 by-path/usbv2-0:1.1 && "
                    "ln -s ../ttyACM9 by-path/usb-0:1.2 && ln -s ../ttyACM0 by-id/usb-QB2_SN01 && "
                    "ln -s ../ttyACM1 by-id/usb-QB2_SN02").c_str()),
            0);
  setenv("QB2_SERIAL_DIR", dir.c_str(), 1);
  std::vector<SerialDevice> present;
  ASSERT_EQ(ListSerialDevices(&present), 2);
  EXPECT_EQ(present[0].port, dir + "/ttyACM0");
  EXPECT_EQ(present[0].location, "usb-0:1.1");
  EXPECT_EQ(present[0].locationPaths, std::vector<std::string>{"usbv2-0:1.1"});
  EXPECT_EQ(present[0].identity, "usb-QB2_SN01");
  EXPECT_EQ(present[1].port, dir + "/ttyACM1");
  EXPECT_EQ(present[1].location, "");

  std::vector<SlotUnit> slot(1);
  slot[0].slot = 1;
  slot[0].where = "usbv2-0:1.1";
  FindSlotUnitsNow(&slot);
  EXPECT_EQ(slot[0].found, SLOT_UNIT);
  EXPECT_EQ(slot[0].port, dir + "/ttyACM0");
  unlink((dir + "/ttyACM0").c_str());
  FindSlotUnitsNow(&slot);
  EXPECT_EQ(slot[0].found, SLOT_NO_UNIT);
  EXPECT_EQ(slot[0].port, "");

  setenv("QB2_SERIAL_DIR", (dir + "/none").c_str(), 1);
  EXPECT_EQ(ListSerialDevices(&present), 0);
  unsetenv("QB2_SERIAL_DIR");
  RemoveTempDir(dir);
}

}  // namespace
