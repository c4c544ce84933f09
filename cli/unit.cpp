// QB2CLI's one unit: the job record from the arguments, the port opened, the job of
// the command's row run to its end, and its result line; and the program's start.
#include <cstdio>
#include <cstring>
#include <vector>

#include "cli/cli.h"
#include "detect/detect.h"
#include "device/commands.h"
#include "firmware/boot_blocks.h"
#include "firmware/download.h"
#include "firmware/srecord.h"
#include "flash/flash.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "link/receiver.h"
#include "link/thread_join.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "platform/console.h"
#include "platform/database.h"
#include "platform/file.h"
#include "platform/port.h"
#include "platform/registry.h"
#include "platform/systhread.h"
#include "record/run_log.h"
#include "record/line_database.h"
#include "record/line_record.h"
#include "record/serial_counter.h"
#include "record/settings.h"
#include "sequence/sequence.h"

namespace {

const std::string kVersion = std::string("QB2CLI ver") + kProgramVersion;
// How long the port gets to open, as the dialogs' open command gives it.
const unsigned kOpenWaitMs = 3000;
// How long a claim waits for the serial number counter's holder.
const unsigned kCounterWaitMs = 5000;

// When the unit's operation began (its length in the log and the line).
uint32_t UnitStartMs = 0;

std::string ClockText(const DeviceTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

// The run log this command writes to: --log, else the LogFile of QB2BENCH.INI in
// the current folder, if any; --no-log: none. A log that is named but cannot be
// used (a LogFile the settings reader refused, a file that cannot be opened for
// appending) is a file fault: a run without its record must not pass for one with.
int LogPathFor(const CliOptions& o, std::string* path, std::string* why) {
  path->clear();
  if (o.noLog) return EXIT_DONE;
  if (o.logGiven) {
    *path = o.log;
  } else {
    SettingsText ini;
    if (ReadSettingsFileAsIs(kSettingsFile, &ini) == SETTINGS_READ) {
      if (ini.rejected[SET_LOG_FILE]) {
        *why = std::string(kSettingsFile) + " names a LogFile that cannot be used (--log FILE or --no-log to run)";
        return EXIT_FILE;
      }
      if (ini.values.given[SET_LOG_FILE]) *path = ini.values.value[SET_LOG_FILE];
    }
  }
  if (path->empty()) return EXIT_DONE;
  FileHandle log = FileOpenForAppend(path->c_str());
  if (!log) {
    *why = "run log cannot be opened for appending: " + *path;
    path->clear();
    return EXIT_FILE;
  }
  FileClose(log);
  return EXIT_DONE;
}

void Print(const CliOptions& o, const UnitResult& r) {
  EndProgressLine();
  if (o.child) {
    // The parent chooses: the line for a person, or the JSON object.
    Say(1, "H " + HumanLine(r));
    Say(1, "J " + JsonLine(r));
    Say(1, "R " + std::string(ReasonOfToken(r.result)));  // what a fixture's slot shows
    return;
  }
  Say(1, o.json ? JsonLine(r) : HumanLine(r));
}

UnitResult ResultOf(const CliOptions& o, const std::string& port, const JobParamsRecord& p) {
  UnitResult r;
  r.port = port;
  r.command = o.command;
  r.operation = p.run.operation;
  r.serial = p.run.serial;
  r.unstamped = p.run.unstamped;
  r.file = p.run.file;
  r.result = p.run.result;
  r.bytes = p.run.bytes;
  r.hasCrc = p.run.hasCrc;
  r.crc32 = p.run.crc32;
  r.ms = p.run.ms;
  r.slot = p.run.slot;
  r.attempt = p.run.attempt;
  if (p.run.timed) r.time = RunTimeText(p.run.time);
  r.exit = p.outcome;
  if (o.op && o.op->inputs == IN_NONE && std::strcmp(o.op->record, "clock-get") == 0 && p.outcome == JOB_DONE)
    r.clock = ClockText(p.clock);
  return r;
}

// A unit that ends before its job runs: said on stderr, logged like any operation,
// and its line.
int EndEarly(const CliOptions& o, const std::string& port, JobParamsRecord* p, int exitValue, const std::string& why) {
  UseConsoleOutlets(port, o);
  ShowWarningBox(why.c_str(), "");
  // The record keeps a run's own token where the check left one (the image's), as
  // the run itself would have logged it.
  const std::string result = p->run.result.empty() ? why : p->run.result;
  FinishJob(p, exitValue, result.c_str(), UnitStartMs);
  Print(o, ResultOf(o, port, *p));
  return exitValue;
}

// The arguments into the job record, with what can be checked before the port is
// opened: a file that cannot be read fails here and nothing reaches the unit.
// *takesSerial: produce's image has a place for a serial number.
int FillRecord(const CliOptions& o, JobParamsRecord* p, std::string* why, bool* takesSerial) {
  *takesSerial = false;
  switch (o.op->inputs) {
    case IN_FLASH_WRITE:
    case IN_FLASH_READ:
    case IN_FLASH_ERASE: {
      FlashRequest request;
      request.kind = o.op->id;
      request.address = o.haveAddr ? o.addr : 0;
      request.size = o.size;
      request.sizeFromFile = !o.haveSize;
      request.file = o.file;
      request.verify = o.verify;
      request.exclusive = false;
      request.wholeFile = true;
      int64_t loaded = -1;
      int prepared = PrepareFlashJob(request, p, &loaded);  // its box has said why not
      if (prepared != JOB_DONE)
        *why = prepared == JOB_FILE ? "file: " + o.file : "range outside the flash (0 to 0x20000) for " + o.file;
      return prepared;
    }
    case IN_PRODUCTION: {
      p->imagePath = o.image.empty() ? DefaultFlashDataPath() : o.image;
      p->verify = o.verify;
      // No operator to press em-stop: a range request that is never answered ends
      // the run as any other silent request does.
      p->rangeReplyBoundMs = kPageWriteReplyBoundMs;
      std::string token;
      if (CheckFlashDataImage(p->imagePath, takesSerial, &token) != JOB_DONE) {
        *why = std::string(ReasonOfToken(token)) + ": " + p->imagePath;
        p->run.file = p->imagePath;
        p->run.result = token;
        return JOB_FILE;
      }
      return JOB_DONE;
    }
    case IN_FIRMWARE: {
      // Read once, first: a file the download would refuse must not put the unit
      // into its boot loader, and one read again later might not be there then.
      std::vector<unsigned char> image(FIRMWARE_IMAGE_SIZE, 0xFF);
      if (ReadSRecordFile(o.file.c_str(), image.data()) == 0) {
        *why = "Cannot read S-Format file.";
        p->run.file = o.file;
        return JOB_FILE;
      }
      p->firmwarePath = o.file;
      p->firmwareImage.swap(image);
      return JOB_DONE;
    }
    case IN_CLOCK:
      p->clockGiven = o.haveTime;
      p->clock = o.time;
      return JOB_DONE;
    default:
      return JOB_DONE;
  }
}

// Opens the port through the receiver and waits until it is open or cannot be.
bool OpenUnitPort(int number) {
  PortNumber.store(number);
  if (StartReceiverThread() != 0) return false;
  for (unsigned waited = 0; waited < kOpenWaitMs; waited += 5) {
    if (PortIsOpen(PortHandle.load())) return true;
    long code = 0;
    if (!QueryThreadExitCode(ReceiverThread, &code) || code != kThreadStillActive) return false;
    SleepMs(5);
  }
  return false;
}


int Find(const CliOptions& o) {
  if (!SerialRegistryExists()) {
    Say(2, "QB2CLI: find: this system lists no serial ports in a registry; name the port with --port");
    return EXIT_USAGE;
  }
  const uint32_t start = TickCountMs();
  int port = FindUnitPort(o.waitMs);
  UnitResult r;
  r.command = "find";
  r.operation = "find";
  r.ms = TickCountMs() - start;
  LocalTimeFields now;
  ReadLocalTime(&now);
  r.time = RunTimeText(now);
  if (port > 0) {
    r.port = "COM" + std::to_string(port);
  } else {
    r.result = "no port listed";
    r.exit = EXIT_PORT;
    if (!o.json) Say(2, "QB2CLI: find: no port listed within " + std::to_string(o.waitMs) + " ms");
  }
  if (o.json) Say(1, JsonLine(r));
  else if (port > 0) Say(1, r.port);
  return r.exit;
}

// The line's record this command keeps: QB2BENCH.INI's counter and the run log,
// or the line's database that QB2BENCH.INI (or --database) names with the run log
// as its spool; claims wait up to 5 s for another holder of the counter, a stop
// ending the wait.
const RecordSettings& UseLineRecord(const CliOptions& o) {
  static RecordSettings settings;
  settings.iniPath = kSettingsFile;
  settings.holder = "QB2CLI";
  settings.counterWaitMs = kCounterWaitMs;
  settings.stopAsked = CliStopAsked;
  ReadRecordSettings(&settings);
  if (o.databaseGiven) settings.database = o.database;
  if (o.stationGiven) settings.station = o.station;
  InstallLineRecord(RecordFormFor(settings), &settings);
  return settings;
}

// QB2CLI db init: the line's database made ready; what it did, one line each.
int RunDbInit(const CliOptions& o, const RecordSettings& s) {
  if (s.database.empty()) {
    Say(2, "QB2CLI: db init: no database: Database= in QB2BENCH.INI, or --database");
    return EXIT_USAGE;
  }
  std::string report, why;
  if (InitLineDatabase(s, o.haveSerial ? o.serial : 0, &report, &why) != RECORD_OK) {
    Say(2, "QB2CLI: db init: " + why);
    return EXIT_SERIAL;
  }
  ConsoleWrite(1, report.data(), report.size());
  return EXIT_DONE;
}

// QB2CLI sync: every line of the run log the line's database lacks, sent; how many.
int RunSync(const CliOptions& o, const RecordSettings& s) {
  std::string log = o.log;
  if (!o.logGiven) {
    SettingsText ini;
    if (ReadSettingsFileAsIs(kSettingsFile, &ini) == SETTINGS_READ && ini.values.given[SET_LOG_FILE])
      log = ini.values.value[SET_LOG_FILE];
  }
  if (s.database.empty() || log.empty() || o.noLog) {
    Say(2, std::string("QB2CLI: sync: ") + (s.database.empty() ? "no database: Database= in QB2BENCH.INI, or --database"
                                                               : "no run log: LogFile= in QB2BENCH.INI, or --log"));
    return EXIT_USAGE;
  }
  SyncCounts n;
  std::string why;
  const int synced = SyncRunLog(s, log, &n, &why);
  if (synced != RECORD_OK) {
    Say(2, "QB2CLI: sync: " + why);
    return synced == RECORD_NOT_KEPT ? EXIT_FILE : EXIT_SERIAL;
  }
  if (o.json) {
    Say(1, "{\"command\":\"sync\",\"file\":" + JsonString(log) + ",\"sent\":" + std::to_string(n.sent) +
               ",\"present\":" + std::to_string(n.present) + ",\"cut\":" + std::to_string(n.cut) +
               ",\"refused\":" + std::to_string(n.refused) + ",\"exit\":" + (n.refused ? "9" : "0") + "}");
  } else {
    Say(1, "sync " + log + ": " + std::to_string(n.sent) + " lines sent, " + std::to_string(n.present) +
               " there already" + (n.cut ? ", " + std::to_string(n.cut) + " cut short (not sent)" : "") +
               (n.refused ? ", " + std::to_string(n.refused) + " refused" : ""));
  }
  // A line the database would not take is still missing there: not done.
  if (n.refused) Say(2, "QB2CLI: sync: " + why);
  return n.refused ? EXIT_SERIAL : EXIT_DONE;
}

}  // namespace

int ClaimNumbers(int count, std::vector<int32_t>* numbers, std::string* why) {
  int claimed = ClaimSerials(count, numbers, why);
  return claimed == RECORD_OK ? EXIT_DONE : claimed == RECORD_STOPPED ? EXIT_STOPPED : EXIT_SERIAL;
}

int PrepareCommand(const CliOptions& o, JobParamsRecord* p, std::string* why, bool* takesSerial) {
  *takesSerial = false;
  int logged = LogPathFor(o, &p->logFile, why);
  if (logged != EXIT_DONE) return logged;
  return FillRecord(o, p, why, takesSerial);
}

int CheckLineRecord(const CliOptions& o, std::string* why) {
  // A gang's units: their parent has asked already.
  if (o.child) return EXIT_DONE;
  std::string said;
  if (CheckRecord(&said) != RECORD_OK) {
    *why = said;
    return EXIT_SERIAL;
  }
  if (!said.empty()) Say(2, "QB2CLI: " + said);
  return EXIT_DONE;
}

int RunUnit(const CliOptions& o, const std::string& given) {
  const int number = PortFromName(given.c_str());
  const std::string port = number == 0 ? given : PortDisplayName(number);
  JobParamsRecord& p = JobParams;
  p = JobParamsRecord();
  p.run.operation = o.op->record;
  UnitStartMs = TickCountMs();
  p.portName = port;
  p.attempt = o.attempt;
  p.slot = o.slot;
  if (o.op->inputs == IN_PRODUCTION) p.run.serial = o.haveSerial ? SerialText(o.serial) : "";
  // The usage, then every file, then the serial number, then the port: a run that
  // ends before the port is opened has taken no number it could not use.
  if (number == 0) return EndEarly(o, port, &p, EXIT_USAGE, "not a port name: " + port);
  UseConsoleOutlets(port, o);
  std::string why;
  bool takesSerial = false;
  int prepared = PrepareCommand(o, &p, &why, &takesSerial);
  if (prepared != JOB_DONE) return EndEarly(o, port, &p, prepared, why);
  if (CheckLineRecord(o, &why) != EXIT_DONE) return EndEarly(o, port, &p, EXIT_SERIAL, why);
  if (o.op->inputs == IN_PRODUCTION) {
    // An image with no place for a number takes none: it would be a number the
    // unit does not hold.
    if (!takesSerial) {
      p.run.serial.clear();
    } else if (o.haveSerial) {
      p.serialNumber = o.serial;
    } else if (o.child) {
      // A gang's numbers are the parent's to claim, in one claim.
      return EndEarly(o, port, &p, EXIT_SERIAL, "no serial number was given to this unit");
    } else {
      std::vector<int32_t> numbers;
      int claimed = ClaimNumbers(1, &numbers, &why);
      if (claimed != EXIT_DONE) return EndEarly(o, port, &p, claimed, claimed == EXIT_STOPPED ? kStoppedResult : why);
      p.serialNumber = numbers[0];
    }
    if (takesSerial) p.run.serial = SerialText(p.serialNumber);
  }
  if (CliStopAsked()) return EndEarly(o, port, &p, EXIT_STOPPED, kStoppedResult);
  if (!OpenUnitPort(number)) {
    StopReceiverThread();
    return EndEarly(o, port, &p, EXIT_PORT, "port cannot be opened: " + port);
  }

  ResetWorkerSignals();
  ClearLinkFlag(StopSequence);
  if (CliStopAsked()) {
    StopReceiverThread();
    return EndEarly(o, port, &p, EXIT_STOPPED, kStoppedResult);
  }
  WorkerEntry job = o.op->job ? o.op->job : o.op->request;
  if (o.op->job && o.op->send) o.op->send();
  ThreadHandle worker = StartThread(job, &p);
  if (!worker) {
    StopReceiverThread();
    return EndEarly(o, port, &p, EXIT_PORT, "cannot start the job");
  }
  // A stop that came while the job was being started reaches it now.
  if (CliStopAsked()) {
    RequestWorkerStop();
    SetLinkFlag(StopSequence);
  }
  // Every wait of a job is bounded (a request's reply, an erase, a page), so the
  // job ends by itself; a stop ends it at its next look.
  while (!WaitThreadEnd(worker, 100)) {
  }
  CloseThreadHandle(worker);
  StopReceiverThread();
  Print(o, ResultOf(o, port, p));
  MarkCliEnded();
  return p.outcome;
}

int RunCli(const std::vector<std::string>& args) {
  ProgramKind = kCliProgram;
  CliOptions o;
  std::string error;
  if (ParseCliOptions(args, &o, &error) != EXIT_DONE) {
    Say(2, "QB2CLI: " + error + " (QB2CLI --help)");
    return EXIT_USAGE;
  }
  if (o.help) {
    std::string help = CliHelpText();
    ConsoleWrite(1, help.data(), help.size());
    return EXIT_DONE;
  }
  if (o.version) {
    Say(1, kVersion);
    return EXIT_DONE;
  }
  InstallCliStop();
  if (o.child) WatchParentForStop();
  const RecordSettings& record = UseLineRecord(o);
  if (o.command == "db init") return RunDbInit(o, record);
  if (o.command == "sync") return RunSync(o, record);
  if (o.command == "find") return Find(o);
  if (o.command == "ports") return RunPorts(o);
  if (!o.slots.empty()) return RunSlots(&o, args);
  if (o.watch) return RunFactory(o, args);
  // A unit whose job may be run again runs in a process of its own, as a gang's
  // units do: each attempt starts afresh.
  if (o.ports.size() > 1 || o.retries > 0) return RunGang(o, args);
  int exitValue = RunUnit(o, o.ports[0]);
  MarkCliEnded();
  // A database call left behind (a server that stopped answering) gets a moment to
  // come back before the program's end unloads the driver under it.
  DbAwaitLeftBehind(1000);
  return exitValue;
}
