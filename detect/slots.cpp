#include "detect/slots.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool SameNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::string SlotText(int slot) { return "slot " + std::to_string(slot); }

}  // namespace

bool DeviceIsAt(const SerialDevice& device, const std::string& where) {
  if (where.empty()) return false;
  if (SameNoCase(device.location, where) || SameNoCase(device.identity, where)) return true;
  for (const std::string& path : device.locationPaths)
    if (SameNoCase(path, where)) return true;
  return false;
}

int FindSlotPort(const std::string& where, const std::vector<SerialDevice>& present, int* index, std::string* why) {
  std::vector<size_t> found;
  for (size_t i = 0; i < present.size(); ++i)
    if (DeviceIsAt(present[i], where)) found.push_back(i);
  if (found.size() == 1) {
    *index = static_cast<int>(found[0]);
    return SLOT_UNIT;
  }
  if (found.empty()) {
    *why = "no unit at " + where;
    return SLOT_NO_UNIT;
  }
  *why = std::to_string(found.size()) + " ports at " + where + ":";
  for (size_t i : found) *why += " " + present[i].port;
  return SLOT_TWO_UNITS;
}

void FindSlotUnits(const std::vector<SerialDevice>& present, std::vector<SlotUnit>* slots) {
  for (SlotUnit& s : *slots) {
    int index = -1;
    s.port.clear();
    s.found = FindSlotPort(s.where, present, &index, &s.why);
    if (s.found == SLOT_UNIT) s.port = present[static_cast<size_t>(index)].port;
    else s.why = SlotText(s.slot) + ": " + s.why;
  }
  // Ports stay set until every pair has been looked at.
  for (size_t i = 0; i < slots->size(); ++i) {
    SlotUnit& a = (*slots)[i];
    for (size_t j = 0; j < slots->size() && !a.port.empty(); ++j) {
      const SlotUnit& b = (*slots)[j];
      if (j == i || b.port != a.port) continue;
      a.found = SLOT_SHARED;
      a.why = SlotText(a.slot) + ": " + SlotText(b.slot) + " names the same port " + a.port;
      break;
    }
  }
  for (SlotUnit& s : *slots)
    if (s.found != SLOT_UNIT) s.port.clear();
}

void FindSlotUnitsNow(std::vector<SlotUnit>* slots) {
  std::vector<SerialDevice> present;
  if (ListSerialDevices(&present) >= 0) return FindSlotUnits(present, slots);
  for (SlotUnit& s : *slots) {
    s.found = SLOT_NO_LIST;
    s.port.clear();
    s.why = SlotText(s.slot) + ": the system's serial ports cannot be listed";
  }
}
