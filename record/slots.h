// The [Slots] section of QB2BENCH.INI: the place of a gang fixture each slot
// number stands for, because a port's own name does not stay with a place. On
// Windows a place is the location information ("Port_#0001.Hub_#0002"), a
// location path ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)") or the device
// ("VID_1234&PID_5678\SN0001"); on Linux a name in /dev/serial/by-path or by-id.
//
//   [Slots]
//   1=Port_#0001.Hub_#0002
//   2=Port_#0002.Hub_#0002
//
// Read as the bench's own settings are: with or without a UTF-8 byte-order mark,
// LF or CRLF, blanks around numbers, '=' and places, blank lines and lines that
// begin with ';' or '#'. A '#' further on belongs to the place (location paths and
// location information hold one). Other sections are passed over.
#pragma once
#include <string>
#include <vector>

// Slot numbers are 1 to this.
const int kLargestSlot = 999;

struct SlotPlace {
  int slot = 0;
  std::string where;   // as written, without the blanks around it
  bool twice = false;  // given again with another place: which one is meant cannot be told
};

struct SlotsText {
  std::vector<SlotPlace> slots;       // in the file's order, each number once
  std::vector<std::string> problems;  // one line for each line of the section passed over
  bool hasSection = false;
};

// Parses a settings file's bytes for its [Slots] section.
void ParseSlotsText(const std::string& bytes, SlotsText* out);
// The slot's entry, or null when the section does not name it.
const SlotPlace* FindSlot(const SlotsText& text, int slot);

enum SlotsFileState {
  SLOTS_MISSING,     // no such file
  SLOTS_READ,        // read; out says what it held (perhaps no section)
  SLOTS_UNREADABLE,  // there, but it cannot be opened or read, or is far too large
};
// Reads path, sharing it with every other program (the bench may hold it open).
// Any thread.
int ReadSlotsFile(const char* path, SlotsText* out);
