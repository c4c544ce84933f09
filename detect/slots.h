// A gang fixture's slots: which present serial port the place of a slot names
// (record/slots.h reads the places, platform/serial_devices.h lists the ports).
// A place that names no port has no unit plugged in; one that names two cannot
// say which is meant; both are the slot's own fault and end only that slot.
#pragma once
#include <string>
#include <vector>

#include "platform/serial_devices.h"

enum SlotFound {
  SLOT_UNIT = 0,       // exactly one port
  SLOT_NO_UNIT = 1,    // none present there
  SLOT_TWO_UNITS = 2,  // two or more ports: which one is meant cannot be told
  SLOT_SHARED = 3,     // another slot of the same run finds the same port
  SLOT_NO_LIST = 4,    // the system's list of ports cannot be read
};

// Whether device is at where: where equals its location, one of its location
// paths or its identity, ASCII letters compared without case (Windows gives the
// same device in either case). Any thread.
bool DeviceIsAt(const SerialDevice& device, const std::string& where);

// One slot of a run: its place, then what was found for it.
struct SlotUnit {
  int slot = 0;
  std::string where;
  int found = SLOT_NO_UNIT;  // a SlotFound
  std::string port;          // with SLOT_UNIT: the port to open
  std::string why;           // otherwise: a sentence for the person ("slot 3: no unit at ...")
};

// Finds the port of place where among present: SLOT_UNIT with its index in
// *index, else SLOT_NO_UNIT or SLOT_TWO_UNITS with the reason in *why. Any thread.
int FindSlotPort(const std::string& where, const std::vector<SerialDevice>& present, int* index, std::string* why);
// Finds each slot's port in one listing; two slots that find the same port both
// fail with SLOT_SHARED (the same unit must not be run twice at once). Any thread.
void FindSlotUnits(const std::vector<SerialDevice>& present, std::vector<SlotUnit>* slots);
// Lists the ports present now and finds each slot's (every slot SLOT_NO_LIST when
// the system's list cannot be read): what a run does at its start, and what a
// loop that waits for units to come and go does for the slots it watches. A
// listing takes a few milliseconds (under Wine about 2 ms a port). Any thread.
void FindSlotUnitsNow(std::vector<SlotUnit>* slots);
