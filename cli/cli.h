// QB2CLI: the console front end. Every bench operation of the operations table from
// a line controller's script, on Windows (QB2CLI.EXE) and Linux (qb2cli), over the
// same jobs as the dialogs: it fills the job record from its arguments, shows the
// outlets on its console, and turns each job's outcome into an exit value from one
// table. With several ports it runs one child of itself per unit (cli/gang.cpp).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device/clock.h"
#include "jobs/job_params.h"
#include "ops/operations.h"

// The exit values, the same table as --help and the README give.
enum CliExit {
  EXIT_DONE = 0,
  EXIT_SOME_FAILED = 1,  // several units: at least one did not end done
  EXIT_USAGE = 2,
  EXIT_FILE = 3,
  EXIT_PORT = 4,
  EXIT_NO_ANSWER = 5,
  EXIT_REFUSED = 6,
  EXIT_VERIFY = 7,
  EXIT_STOPPED = 8,
  EXIT_SERIAL = 9,
  EXIT_NO_RESULT = 10,  // several units: a unit's process ended without a result
};

// Plain progress lines (no terminal): at most one a second for each unit.
const uint32_t kPlainProgressMs = 1000;
// The most units one command drives at once.
const int kMostUnits = 16;
// The most runs again --retries may ask for.
const int kMostRetries = 10;

struct CliOptions {
  std::vector<std::string> ports;  // --port, a comma-separated list
  // --slots "1-4,7": the slot numbers in the order given. Once ResolveSlots has
  // found their ports, ports[i] is slot slots[i]'s port, or "" with the reason in
  // slotFaults[i] when the slot has none to run.
  std::vector<int> slots;
  std::vector<std::string> slotFaults;
  std::vector<std::string> slotPlaces;  // --slots: each slot's place, as [Slots] gives it
  bool watch = false;  // --watch: the factory mode (cli/factory.cpp)
  int count = 0;       // --count: with --watch, end once this many units have passed (0: until stopped)
  int retries = 0;     // --retries: a unit's job run again at most this many more times after a transient fault
  int attempt = 1;     // a gang's child: which run of its unit's job this is (--attempt)
  int slot = 0;        // the unit's slot (a child's --slot, or the one slot of --slots); 0: none
  std::string log;                 // --log FILE
  std::string database, station;   // --database CONN, --station NAME: over QB2BENCH.INI's for this run
  bool databaseGiven = false, stationGiven = false;
  bool logGiven = false, noLog = false;
  bool json = false, quiet = false, verbose = false, help = false, version = false;
  bool child = false;  // run as one unit of a gang: JSON out, progress records, stop from stdin

  std::string command;              // "write", "clock set", "find", ...
  const Operation* op = nullptr;    // the command's row; null for find
  std::string file;                 // write, read, download: FILE
  bool haveAddr = false, haveSize = false;
  int64_t addr = 0, size = 0;
  bool verify = false;
  std::string image;                // produce --image
  bool haveSerial = false;
  int32_t serial = 0;               // produce --serial
  bool haveTime = false;
  DeviceTime time;                  // clock set TIME
  unsigned waitMs = 10000;          // find --wait-ms
};
// The commands that are no operation of the table and need no unit.
inline bool CommandNeedsNoUnit(const std::string& command) {
  return command == "find" || command == "ports" || command == "db init" || command == "sync";
}

// Parses the arguments; EXIT_DONE, or EXIT_USAGE with the reason in *error.
int ParseCliOptions(const std::vector<std::string>& args, CliOptions* options, std::string* error);
// A number as the command line takes it: decimal or 0x hex, the whole text.
bool ParseCliNumber(const std::string& text, int64_t* value);
// "YYYY-MM-DDThh:mm:ss", a time the unit's clock can hold (2000-2099).
bool ParseCliTime(const std::string& text, DeviceTime* time);
// The help text: usage, commands, options and the exit table.
const char* CliHelpText();

// The whole program: parse, then one unit, several, or find. Returns the exit value.
int RunCli(const std::vector<std::string>& args);
// One unit on port, the job of options, its result line; the exit value. With
// claimSerial, produce takes its number from the counter when the unit starts.
int RunUnit(const CliOptions& options, const std::string& port);
// Several units at once, one child process each (also one unit whose job may be run
// again, --retries); the exit value (0, 1, 8 or 10; for one unit its own).
int RunGang(const CliOptions& options, const std::vector<std::string>& args);
// What a command needs before any port is opened, for one unit or a gang: the run
// log (p->logFile) and the command's files read and checked into p. EXIT_DONE, or
// the exit value with the reason in *why. *takesSerial: produce's image has a
// place for a serial number (else no number is taken for it).
int PrepareCommand(const CliOptions& options, JobParamsRecord* p, std::string* why, bool* takesSerial);
// Whether the line's record can be kept, before any number is taken or anything
// sent: EXIT_DONE (a database away for now is said on stderr, and the run goes
// on), or EXIT_SERIAL with the reason in *why. A gang's unit does not ask again.
int CheckLineRecord(const CliOptions& options, std::string* why);
// Takes count serial numbers from the line's record (record/line_record.h), in
// order, all or none. EXIT_DONE, else EXIT_SERIAL or EXIT_STOPPED with the reason
// in *why.
int ClaimNumbers(int count, std::vector<int32_t>* numbers, std::string* why);

// --- a gang fixture's slots (cli/ports.cpp) ------------------------------------

// "1-4,7" as slot numbers in the order given (1-4 is 1,2,3,4); false with the
// reason for a range that runs backwards, a number twice, 0 or past the last slot,
// more than kMostUnits slots.
bool ParseSlotList(const std::string& text, std::vector<int>* slots, std::string* error);
// Each slot of o->slots to its place, from [Slots] of QB2BENCH.INI in the current
// folder (o->slotPlaces), and but for --watch to its port among those present now:
// fills o->ports and o->slotFaults and says each fault on stderr. EXIT_USAGE with
// the reason when the section does not name a slot, or names it twice; EXIT_DONE
// otherwise (a slot with no unit is that slot's fault, not the command's).
int ResolveSlots(CliOptions* o, std::string* error);
// The command on the units of o->slots: their ports found, then one unit as with
// one --port (a slot without its unit: its line and exit value 4), several as a
// gang. The exit value.
int RunSlots(CliOptions* o, const std::vector<std::string>& args);
// Where each unit of o is now, in one listing of the ports present: for --slots
// the port its slot's place names (o.slotPlaces), for --port the port itself; ""
// where there is none. For a loop that waits for units to come, go or come back.
void UnitPortsNow(const CliOptions& o, std::vector<std::string>* ports);
// The command's units in a fixture, run over and over as they come and go
// (cli/factory.cpp): --watch with --slots (their places in o.slotPlaces) or --port.
// The exit value: 0 once --count units have passed and none failed, 1 once they
// have but some failed, 8 when stopped before; 2, 3 or 9 when it cannot start.
int RunFactory(const CliOptions& o, const std::vector<std::string>& args);
// QB2CLI ports: every serial port present, its place, its device and the slot that
// names it; one line each, or one JSON object each. The exit value.
int RunPorts(const CliOptions& o);

// --- output (cli/output.cpp) --------------------------------------------------

// A unit's result as the job record holds it, with what the console needs.
struct UnitResult {
  std::string port;
  std::string command;      // "write", "clock get", ...
  std::string operation;    // the run log's name ("flash-write")
  std::string serial, file, result = "OK";
  bool unstamped = false;   // produce: the image had no place for a serial number
  long long bytes = -1;
  bool hasCrc = false;
  uint32_t crc32 = 0;
  uint32_t ms = 0;
  std::string time;         // when it ended, as the run log writes it
  std::string clock;        // clock get: the unit's time, YYYY-MM-DDThh:mm:ss
  int slot = 0;             // a fixture's slot (0: none)
  int attempt = 1;          // which run of the unit's job (--retries)
  int exit = 0;
};
// The line a person reads: "COM7 write OK 65536 bytes crc32 1A2B3C4D 17.3 s", with
// "slot 2 " ahead of it in a fixture and " attempt 2" after the time for a run again.
std::string HumanLine(const UnitResult& r);
// One JSON object on one line, ASCII only (other characters as \u escapes).
std::string JsonLine(const UnitResult& r);
// A text of the program's (or a file name) as a JSON string, quoted.
std::string JsonString(const std::string& text);
// text with spaces after it to width bytes (a column of a table); a longer one whole.
std::string PaddedText(const std::string& text, size_t width);

// --- the console's outlets (cli/console_outlets.cpp) --------------------------

// Installs the console's outlets for one unit on port: warnings and the run log's
// troubles on stderr, trace lines too with verbose, progress as options say (one
// line redrawn on a terminal, plain lines at most once a second otherwise, none
// with quiet, records for the parent of a gang).
void UseConsoleOutlets(const std::string& port, const CliOptions& options);
// Clears the progress line of a terminal before a result line goes out.
void EndProgressLine();
// Writes text with a line end to stdout (1) or stderr (2), whole.
void Say(int stream, const std::string& text);

// Ctrl+C and its kin: installed once; true once a stop was asked for. A stop raises
// the job's stop request (and the sequence's em-stop) wherever the job is.
void InstallCliStop();
bool CliStopAsked();
// Marks the job's end for a console close that waits for it (Windows).
void MarkCliEnded();
// A stop from elsewhere than the console: a gang's parent.
void RaiseCliStop();
// A gang's child: stops when the parent says so through standard input, or when
// that pipe ends (the parent has gone).
void WatchParentForStop();
