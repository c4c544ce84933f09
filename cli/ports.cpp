// A gang fixture by slots: `--slots 1-4,7` runs the units that sit in those slots,
// whatever COM numbers (or device paths) they have today, and `ports` shows an
// engineer every serial port present with its place, its device and its slot, which
// is how [Slots] gets filled.
#include <algorithm>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "detect/slots.h"
#include "platform/port.h"
#include "platform/serial_devices.h"
#include "record/settings.h"
#include "record/slots.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A slot number of a list: 1 to kLargestSlot, decimal, blanks around it allowed.
bool TakeSlot(const std::string& text, int* slot) {
  size_t a = 0, b = text.size();
  while (a < b && IsBlank(text[a])) ++a;
  while (b > a && IsBlank(text[b - 1])) --b;
  if (a == b || b - a > 3) return false;
  int n = 0;
  for (size_t i = a; i < b; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  *slot = n;
  return n >= 1 && n <= kLargestSlot;
}

// The [Slots] entries that can be looked for (a slot given twice cannot).
std::vector<SlotUnit> SlotsToFind(const SlotsText& text) {
  std::vector<SlotUnit> out;
  for (const SlotPlace& p : text.slots) {
    if (p.twice) continue;
    SlotUnit s;
    s.slot = p.slot;
    s.where = p.where;
    out.push_back(s);
  }
  return out;
}

// The slots of o with their places, to be looked for.
std::vector<SlotUnit> SlotsOf(const CliOptions& o) {
  std::vector<SlotUnit> units;
  for (size_t i = 0; i < o.slots.size() && i < o.slotPlaces.size(); ++i) {
    SlotUnit s;
    s.slot = o.slots[i];
    s.where = o.slotPlaces[i];
    units.push_back(s);
  }
  return units;
}

void SayProblems(const SlotsText& text) {
  for (const std::string& problem : text.problems) Say(2, std::string("QB2CLI: ") + kSettingsFile + ": " + problem);
}

std::string Joined(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& t : texts) out += (out.empty() ? "" : ", ") + t;
  return out;
}

}  // namespace

bool ParseSlotList(const std::string& text, std::vector<int>* slots, std::string* error) {
  slots->clear();
  size_t at = 0;
  for (;;) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t dash = item.find('-');
    int first = 0, last = 0;
    bool ok = dash == std::string::npos ? TakeSlot(item, &first) && TakeSlot(item, &last)
                                        : TakeSlot(item.substr(0, dash), &first) && TakeSlot(item.substr(dash + 1), &last);
    if (!ok) {
      *error = "--slots: not a slot or a range of slots (1-" + std::to_string(kLargestSlot) + "): \"" + item + "\"";
      return false;
    }
    if (last < first) {
      *error = "--slots: the range " + item + " runs backwards";
      return false;
    }
    for (int s = first; s <= last; ++s) {
      if (std::find(slots->begin(), slots->end(), s) != slots->end()) {
        *error = "--slots: slot " + std::to_string(s) + " twice";
        return false;
      }
      if (slots->size() >= static_cast<size_t>(kMostUnits)) {
        *error = "--slots: at most " + std::to_string(kMostUnits) + " slots";
        return false;
      }
      slots->push_back(s);
    }
    if (comma == std::string::npos) return true;
    at = comma + 1;
  }
}

int ResolveSlots(CliOptions* o, std::string* error) {
  SlotsText text;
  int state = ReadSlotsFile(kSettingsFile, &text);
  if (state != SLOTS_READ || !text.hasSection) {
    *error = std::string("--slots: ") + kSettingsFile +
             (state == SLOTS_MISSING      ? " is not in this folder"
              : state == SLOTS_UNREADABLE ? " cannot be read"
                                          : " has no [Slots] section");
    return EXIT_USAGE;
  }
  SayProblems(text);
  o->slotPlaces.clear();
  for (int slot : o->slots) {
    const SlotPlace* place = FindSlot(text, slot);
    if (!place || place->twice) {
      *error = "--slots: slot " + std::to_string(slot) + (place ? " is given twice" : " is not") + " in [Slots] of " +
               kSettingsFile;
      return EXIT_USAGE;
    }
    o->slotPlaces.push_back(place->where);
  }
  // The factory mode looks for its units itself, over and over.
  if (o->watch) return EXIT_DONE;
  std::vector<SlotUnit> units = SlotsOf(*o);
  FindSlotUnitsNow(&units);
  o->ports.clear();
  o->slotFaults.clear();
  for (const SlotUnit& s : units) {
    o->ports.push_back(s.found == SLOT_UNIT ? s.port : std::string());
    o->slotFaults.push_back(s.found == SLOT_UNIT ? std::string() : s.why);
    if (s.found != SLOT_UNIT) Say(2, "QB2CLI: " + s.why);
  }
  return EXIT_DONE;
}

int RunSlots(CliOptions* o, const std::vector<std::string>& args) {
  std::string error;
  if (ResolveSlots(o, &error) != EXIT_DONE) {
    Say(2, "QB2CLI: " + error + " (QB2CLI --help)");
    return EXIT_USAGE;
  }
  if (o->watch) return RunFactory(*o, args);
  if (o->ports.size() > 1 || o->retries > 0) return RunGang(*o, args);
  int exitValue = EXIT_PORT;
  o->slot = o->slots[0];
  if (o->slotFaults[0].empty()) {
    exitValue = RunUnit(*o, o->ports[0]);
  } else {
    // No unit, so no operation to log: the line alone, as a gang gives it.
    UnitResult r;
    r.command = o->command;
    r.operation = o->op->record;
    r.result = o->slotFaults[0];
    r.slot = o->slot;
    r.exit = EXIT_PORT;
    Say(1, o->json ? JsonLine(r) : HumanLine(r));
  }
  MarkCliEnded();
  return exitValue;
}

void UnitPortsNow(const CliOptions& o, std::vector<std::string>* ports) {
  ports->clear();
  if (!o.slots.empty()) {
    std::vector<SlotUnit> units = SlotsOf(o);
    FindSlotUnitsNow(&units);
    for (const SlotUnit& s : units) ports->push_back(s.found == SLOT_UNIT ? s.port : std::string());
    return;
  }
  std::vector<SerialDevice> present;
  ListSerialDevices(&present);  // none listed: the ports the registry or the file system has
  for (const std::string& given : o.ports) {
    int number = PortFromName(given.c_str());
    std::string port = number == 0 ? given : PortDisplayName(number);
    ports->push_back(SerialPortPresent(port, present) ? port : std::string());
  }
}

int RunPorts(const CliOptions& o) {
  std::vector<SerialDevice> present;
  if (ListSerialDevices(&present) < 0) {
    Say(2, "QB2CLI: ports: the system's serial ports cannot be listed");
    return EXIT_PORT;
  }
  SlotsText text;
  ReadSlotsFile(kSettingsFile, &text);  // none: no port has a slot
  SayProblems(text);
  std::vector<SlotUnit> slots = SlotsToFind(text);
  FindSlotUnits(present, &slots);
  std::vector<std::string> slotOf(present.size());
  for (const SlotUnit& s : slots)
    for (size_t i = 0; i < present.size(); ++i)
      if (s.found == SLOT_UNIT && s.port == present[i].port) slotOf[i] = std::to_string(s.slot);

  if (o.json) {
    for (size_t i = 0; i < present.size(); ++i) {
      const SerialDevice& d = present[i];
      std::string paths;
      for (const std::string& p : d.locationPaths) paths += (paths.empty() ? "" : ",") + JsonString(p);
      Say(1, "{\"port\":" + JsonString(d.port) + ",\"slot\":" + (slotOf[i].empty() ? "null" : slotOf[i]) +
                 ",\"location\":" + JsonString(d.location) + ",\"location_paths\":[" + paths +
                 "],\"device\":" + JsonString(d.identity) + "}");
    }
    for (const SlotUnit& s : slots)
      if (s.found != SLOT_UNIT) Say(2, "QB2CLI: " + s.why);
    return EXIT_DONE;
  }

  if (present.empty()) Say(1, "no serial port present");
  const char* heads[] = {"port", "slot", "location", "device", "location paths"};
  std::vector<std::vector<std::string>> rows = {{heads[0], heads[1], heads[2], heads[3], heads[4]}};
  for (size_t i = 0; i < present.size(); ++i) {
    const SerialDevice& d = present[i];
    rows.push_back({d.port, slotOf[i].empty() ? "-" : slotOf[i], d.location.empty() ? "-" : d.location,
                    d.identity.empty() ? "-" : d.identity, Joined(d.locationPaths)});
  }
  size_t widths[4] = {};
  for (const auto& row : rows)
    for (size_t c = 0; c < 4; ++c) widths[c] = std::max(widths[c], row[c].size());
  if (!present.empty()) {
    for (const auto& row : rows) {
      std::string line;
      for (size_t c = 0; c < 4; ++c) line += PaddedText(row[c], widths[c] + 2);
      line += row[4];
      while (!line.empty() && line.back() == ' ') line.pop_back();
      Say(1, line);
    }
  }
  for (const SlotUnit& s : slots)
    if (s.found != SLOT_UNIT) Say(1, s.why);
  return EXIT_DONE;
}
