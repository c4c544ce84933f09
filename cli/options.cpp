// QB2CLI's arguments: global options anywhere, one command (from the operations
// table, or find) and its own arguments.
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "platform/port.h"
#include "record/settings.h"
#include "record/slots.h"

namespace {

bool Take(const std::vector<std::string>& args, size_t* i, std::string* value, std::string* error) {
  if (*i + 1 >= args.size()) {
    *error = args[*i] + " needs a value";
    return false;
  }
  *value = args[++*i];
  return true;
}

bool TakeNumber(const std::vector<std::string>& args, size_t* i, int64_t* value, std::string* error) {
  std::string text;
  if (!Take(args, i, &text, error)) return false;
  if (!ParseCliNumber(text, value)) {
    *error = args[*i - 1] + ": not a number: " + text;
    return false;
  }
  return true;
}

bool InRange(const std::string& option, const std::string& text, int64_t value, int64_t least, int64_t most,
             std::string* error) {
  if (value >= least && value <= most) return true;
  *error = option + ": not a number from " + std::to_string(least) + " to " + std::to_string(most) + ": " + text;
  return false;
}

std::vector<std::string> SplitPorts(const std::string& list) {
  std::vector<std::string> out;
  size_t at = 0;
  for (;;) {
    size_t comma = list.find(',', at);
    out.push_back(list.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
    if (comma == std::string::npos) return out;
    at = comma + 1;
  }
}

int DaysIn(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && year % 4 == 0 ? 29 : kDays[month - 1];
}

}  // namespace

bool ParseCliNumber(const std::string& text, int64_t* value) {
  const char* p = text.c_str();
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (*p == '\0') return false;
  int64_t v = 0;
  for (; *p; ++p) {
    int d = *p >= '0' && *p <= '9' ? *p - '0'
            : base == 16 && *p >= 'a' && *p <= 'f' ? *p - 'a' + 10
            : base == 16 && *p >= 'A' && *p <= 'F' ? *p - 'A' + 10
                                                   : -1;
    if (d < 0) return false;
    v = v * base + d;
    if (v > INT64_C(0xFFFFFFFF)) return false;
  }
  *value = v;
  return true;
}

bool ParseCliTime(const std::string& text, DeviceTime* t) {
  int fields[6];
  char tail;
  // Digits where digits go: sscanf alone would take "+2" or " 2" for a month.
  for (size_t i = 0; i < text.size(); ++i)
    if (i != 4 && i != 7 && i != 10 && i != 13 && i != 16 && (text[i] < '0' || text[i] > '9')) return false;
  if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &fields[0], &fields[1], &fields[2],
                                       &fields[3], &fields[4], &fields[5], &tail) != 6)
    return false;
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') return false;
  t->year = fields[0];
  t->month = fields[1];
  t->day = fields[2];
  t->hour = fields[3];
  t->minute = fields[4];
  t->second = fields[5];
  return t->year >= 2000 && t->year <= 2099 && t->month >= 1 && t->month <= 12 && t->day >= 1 &&
         t->day <= DaysIn(t->year, t->month) && t->hour <= 23 && t->minute <= 59 && t->second <= 59;
}

int ParseCliOptions(const std::vector<std::string>& args, CliOptions* o, std::string* error) {
  std::vector<std::string> words;  // the command and its plain arguments, in order
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string value;
    int64_t number = 0;
    if (a == "--port") {
      if (!Take(args, &i, &value, error)) return EXIT_USAGE;
      o->ports = SplitPorts(value);
    } else if (a == "--slots") {
      if (!Take(args, &i, &value, error) || !ParseSlotList(value, &o->slots, error)) return EXIT_USAGE;
    } else if (a == "--log") {
      if (!Take(args, &i, &o->log, error)) return EXIT_USAGE;
      o->logGiven = true;
    } else if (a == "--database") {
      if (!Take(args, &i, &o->database, error)) return EXIT_USAGE;
      o->databaseGiven = true;
    } else if (a == "--station") {
      if (!Take(args, &i, &o->station, error)) return EXIT_USAGE;
      if (!SettingValid(SET_STATION, o->station) || o->station.empty()) {
        *error = "--station: a name of 1 to 64 bytes without control characters";
        return EXIT_USAGE;
      }
      o->stationGiven = true;
    } else if (a == "--no-log") {
      o->noLog = true;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a == "--verbose") {
      o->verbose = true;
    } else if (a == "--help" || a == "-h") {
      o->help = true;
    } else if (a == "--version") {
      o->version = true;
    } else if (a == "--child") {
      o->child = true;
    } else if (a == "--watch") {
      o->watch = true;
    } else if (a == "--count") {
      if (!TakeNumber(args, &i, &number, error) || !InRange(a, args[i], number, 1, 1000000, error)) return EXIT_USAGE;
      o->count = static_cast<int>(number);
    } else if (a == "--retries") {
      if (!TakeNumber(args, &i, &number, error) || !InRange(a, args[i], number, 0, kMostRetries, error))
        return EXIT_USAGE;
      o->retries = static_cast<int>(number);
    } else if (a == "--attempt" && o->child) {  // what a parent tells its child, no option of a person's
      if (!TakeNumber(args, &i, &number, error) || !InRange(a, args[i], number, 1, kMostRetries + 1, error))
        return EXIT_USAGE;
      o->attempt = static_cast<int>(number);
    } else if (a == "--slot" && o->child) {
      if (!TakeNumber(args, &i, &number, error) || !InRange(a, args[i], number, 1, kLargestSlot, error))
        return EXIT_USAGE;
      o->slot = static_cast<int>(number);
    } else if (a == "--addr") {
      if (!TakeNumber(args, &i, &o->addr, error)) return EXIT_USAGE;
      o->haveAddr = true;
    } else if (a == "--size") {
      if (!TakeNumber(args, &i, &o->size, error)) return EXIT_USAGE;
      o->haveSize = true;
    } else if (a == "--verify") {
      o->verify = true;
    } else if (a == "--image") {
      if (!Take(args, &i, &o->image, error)) return EXIT_USAGE;
    } else if (a == "--serial") {
      if (!Take(args, &i, &value, error)) return EXIT_USAGE;
      // The unit holds eight digits: a larger number would be stamped as another.
      if (!ParseCliNumber(value, &number) || number > kLastSerialNumber) {
        *error = "--serial: not a serial number from 0 to 99999999: " + value;
        return EXIT_USAGE;
      }
      o->serial = static_cast<int32_t>(number);
      o->haveSerial = true;
    } else if (a == "--wait-ms") {
      if (!TakeNumber(args, &i, &number, error)) return EXIT_USAGE;
      o->waitMs = static_cast<unsigned>(number);
    } else if (a.size() > 1 && a[0] == '-') {
      *error = "unknown option " + a;
      return EXIT_USAGE;
    } else {
      words.push_back(a);
    }
  }
  if (o->help || o->version) return EXIT_DONE;
  if (words.empty()) {
    *error = "no command";
    return EXIT_USAGE;
  }
  size_t used = 1;
  o->command = words[0];
  if ((words[0] == "clock" || words[0] == "app" || words[0] == "db") && words.size() > 1) {
    o->command += " " + words[1];
    used = 2;
  }
  std::vector<std::string> rest(words.begin() + static_cast<long>(used), words.end());
  if (!CommandNeedsNoUnit(o->command)) {
    o->op = FindOperationByVerb(o->command.c_str());
    if (!o->op) {
      *error = "unknown command " + o->command;
      return EXIT_USAGE;
    }
  }
  const int inputs = o->op ? o->op->inputs : IN_NONE;
  // The plain arguments each command takes.
  size_t wanted = (inputs == IN_FLASH_WRITE || inputs == IN_FLASH_READ || inputs == IN_FIRMWARE) ? 1 : 0;
  if (inputs == IN_CLOCK && rest.size() == 1) wanted = 1;
  if (rest.size() != wanted) {
    *error = o->command + (rest.size() > wanted ? ": too many arguments" : ": FILE missing");
    return EXIT_USAGE;
  }
  if (wanted == 1 && inputs == IN_CLOCK) {
    if (!ParseCliTime(rest[0], &o->time)) {
      *error = "clock set: not a time YYYY-MM-DDThh:mm:ss of 2000-2099: " + rest[0];
      return EXIT_USAGE;
    }
    o->haveTime = true;
  } else if (wanted == 1) {
    o->file = rest[0];
  }
  if ((inputs == IN_FLASH_READ || inputs == IN_FLASH_ERASE) && (!o->haveAddr || !o->haveSize)) {
    *error = o->command + " needs --addr and --size";
    return EXIT_USAGE;
  }
  if (o->watch && (!o->op || (inputs != IN_PRODUCTION && inputs != IN_FLASH_WRITE && inputs != IN_FIRMWARE))) {
    *error = "--watch: for produce, write and download only";
    return EXIT_USAGE;
  }
  if (o->count > 0 && !o->watch) {
    *error = "--count: only with --watch";
    return EXIT_USAGE;
  }
  if (!o->slots.empty() && (!o->ports.empty() || CommandNeedsNoUnit(o->command))) {
    *error = o->ports.empty() ? "--slots: not for " + o->command : "--port and --slots: one or the other";
    return EXIT_USAGE;
  }
  if (!CommandNeedsNoUnit(o->command) && o->slots.empty()) {
    if (o->ports.empty()) {
      *error = o->command + " needs --port or --slots";
      return EXIT_USAGE;
    }
    if (o->ports.size() > static_cast<size_t>(kMostUnits)) {
      *error = "at most 16 ports";
      return EXIT_USAGE;
    }
    std::vector<std::string> identities;
    for (size_t i = 0; i < o->ports.size(); ++i) {
      if (o->ports[i].empty()) {
        *error = "--port: an empty name in the list";
        return EXIT_USAGE;
      }
      // COM7, 7 and \\.\COM7 are one unit, as are two links to one device: two
      // processes on one unit would fight over it.
      std::string identity = PortIdentity(o->ports[i].c_str());
      if (identity.empty()) identity = o->ports[i];
      for (size_t j = 0; j < i; ++j)
        if (identities[j] == identity) {
          *error = "--port: " + o->ports[j] + " and " + o->ports[i] + " are one port";
          return EXIT_USAGE;
        }
      identities.push_back(identity);
    }
    // Several units of produce --serial N get N, N+1, ...: all of them numbers (in
    // the factory mode each unit is checked as it comes).
    if (o->haveSerial && !o->watch && o->serial + static_cast<int64_t>(o->ports.size()) - 1 > kLastSerialNumber) {
      *error = "--serial: " + std::to_string(o->serial) + " and the next " + std::to_string(o->ports.size() - 1) +
               " pass 99999999";
      return EXIT_USAGE;
    }
  }
  return EXIT_DONE;
}

const char* CliHelpText() {
  return "usage: QB2CLI [options] COMMAND [arguments]\n"
         "\n"
         "  write FILE [--addr A] [--size N] [--verify]    flash write (0xFF past the file's end;\n"
         "                                                 the size defaults to the file's length)\n"
         "  read FILE --addr A --size N                    flash read into FILE\n"
         "  erase --addr A --size N                        flash erase (in pieces of 32 KiB)\n"
         "  produce [--image FILE] [--serial N] [--verify] the production run; the image defaults to\n"
         "                                                 Quillbeacon2FlashData.dat in the current folder,\n"
         "                                                 the serial number (0 to 99999999) to\n"
         "                                                 QB2BENCH.INI's counter\n"
         "  download FILE                                  boot-loader download of an S-record file\n"
         "  clock set [YYYY-MM-DDThh:mm:ss]                the PC's local time when none is given\n"
         "  clock get                                      prints the unit's time\n"
         "  app stop | app resume\n"
         "  find [--wait-ms N]                             Windows: wait as QB2LINK.EXE does for the\n"
         "                                                 unit's port (default 10000 ms), print COMn\n"
         "  ports                                          every USB serial port present: its COM number\n"
         "                                                 (Linux: device), place, VID/PID/serial and slot\n"
         "  db init [--serial N]                           the line's database: makes the tables and views\n"
         "                                                 it lacks (its serial number counter starting at\n"
         "                                                 N, 0 by default), leaves the others alone\n"
         "  sync                                           sends every line of the run log the line's\n"
         "                                                 database lacks; prints how many\n"
         "\n"
         "  --port P       COM7 or 7 (Windows), a device path (Linux); a list P1,P2,... of up to 16\n"
         "                 runs the command on every unit at once; this or --slots is required\n"
         "                 except for find and ports\n"
         "  --slots S      the units of slots S (1-4,7) of a fixture, by [Slots] of QB2BENCH.INI in\n"
         "                 the current folder: N=where slot N's unit sits (Windows: Port_#0001.Hub_#0002,\n"
         "                 a location path or VID_xxxx&PID_yyyy\\serial; Linux: a by-path or by-id\n"
         "                 name); each slot's port is found when the run starts, a slot without\n"
         "                 its unit fails alone (4)\n"
         "  --watch        the factory mode, with --slots or --port, for produce, write and download:\n"
         "                 each slot runs its unit the moment one is plugged in, shows its result\n"
         "                 until the unit is taken out, then waits for the next; a unit left in its\n"
         "                 slot is never run twice; produce claims each unit's number as it comes.\n"
         "                 One line per unit on stdout; on a terminal one line per slot and the\n"
         "                 totals (passed, failed, units per hour) on stderr, else one line per\n"
         "                 event. Runs until stopped (Ctrl+C: 8) or --count\n"
         "  --count N      with --watch: end once N units have passed (0 when none failed, else 1)\n"
         "  --retries N    run a unit's job again, at most N more times (0 to 10; default 0), after\n"
         "                 no answer in time (5) or its port lost and back within 5 s (4); never\n"
         "                 after a refusal (6), a verify difference (7), a file fault (3) or a stop\n"
         "                 (8). The unit keeps its serial number; each attempt logs its own line\n"
         "  --log FILE     append one CSV line per unit and operation (the bench's run log);\n"
         "                 without it, the LogFile of QB2BENCH.INI in the current folder, if any\n"
         "  --no-log       no run log\n"
         "  --database C   the line's database, an ODBC connection string, for this run (else\n"
         "                 Database= of QB2BENCH.INI; serial numbers then come from its leases)\n"
         "  --station S    this station's name in the record (else Station=, else the PC's name)\n"
         "  --json         one JSON object per unit on stdout instead of the line for a person\n"
         "  --quiet        no progress on stderr\n"
         "  --verbose      every trace line (frames sent and received) on stderr\n"
         "  --help, --version\n"
         "\n"
         "Numbers are decimal or 0x hex. Each unit ends with one line on stdout.\n"
         "\n"
         "exit  meaning\n"
         "  0   done (every unit)\n"
         "  1   several units: some failed; each unit's own value is in its line (--watch: --count\n"
         "      units passed, but some failed on the way)\n"
         "  2   usage: unknown command or option, bad number, range outside the flash\n"
         "  3   file: cannot be opened, read or written; an image over 64 KiB; a bad S-record file\n"
         "  4   port: cannot be opened, or gone during the job; a slot without its unit\n"
         "  5   the unit does not answer in time\n"
         "  6   the unit refused a request (an error reply)\n"
         "  7   verify: what was read back differs\n"
         "  8   stopped: Ctrl+C, a console close, SIGINT/SIGTERM (several units: every one stopped;\n"
         "      --watch: stopped before --count units passed)\n"
         "  9   serial number: none to take (0 to 99999999), or the counter cannot be kept;\n"
         "      the line's database refuses the station, or lacks its tables\n"
         " 10   several units: a unit's own process ended without a result; its state is unknown\n";
}
