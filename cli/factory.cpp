// The factory mode (--watch): a line does not run its units as one batch, it plugs
// them in as they come and takes them out as they finish. Each slot of the fixture
// (or each --port), over and over: waits for a unit to appear, runs the job on it in
// a process of its own (cli/unit_process.h; produce claims the unit's number as it
// comes), shows 合格 S/N or 不合格 and the reason until the unit is taken out, then
// waits for the next. A unit is started only in a slot that was seen empty since
// its last result, so a unit left in is never run twice.
//
// Presence is one listing of the ports for every slot five times a second
// (UnitPortsNow): on Windows SetupAPI's present COM port interfaces, on Linux
// udev's by-path and by-id links. A listing costs a few milliseconds.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/unit_process.h"
#include "jobs/worker.h"
#include "operator/texts.h"
#include "platform/console.h"
#include "platform/port.h"
#include "platform/systhread.h"
#include "record/line_record.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {

const uint32_t kTotalsIntervalMs = 1000;  // the units per hour once a second

enum Stage {
  STAGE_EMPTY,      // no unit: waiting for one
  STAGE_RUNNING,    // its unit's job runs
  STAGE_PORT_BACK,  // the port went during the job: waiting for it to come back (--retries)
  STAGE_TAKE_OUT,   // the result is shown: waiting for the unit to be taken out
};

// One slot of the fixture, or one --port. proc, number, lostAt and lastValue are the
// main thread's; stage, port and status are written under the screen's lock (the
// block reads them from the reader threads too).
struct Place {
  UnitProcess proc;     // its unit's current attempt
  std::string name;     // "slot 2", or the port as given
  int32_t number = 0;   // its unit's serial number, when numbered
  int stage = STAGE_EMPTY;
  std::string port;     // its unit's port ("" while empty)
  std::string status;   // what its line says after the port
  uint32_t lostAt = 0;  // when its port went
  int lastValue = 0;    // the exit value of the attempt that lost it
};

// The fixture. passed, failed, stopped and firstMs are written by the main thread under
// the screen's lock and read under it by the block.
struct Factory {
  const CliOptions& o;
  std::vector<std::string> args;  // the command's, its run log made explicit for each unit's process
  std::vector<Place>& places;
  Screen screen;
  UnitProcessSink sink;
  std::string logPath;
  bool numbered = false;
  int32_t nextGiven = 0;  // --serial: the next unit's number
  int passed = 0, failed = 0, stopped = 0;  // a stopped unit is no unit's fault
  bool begun = false;     // a unit has come
  uint32_t firstMs = 0;   // when the first one came
};

// With the lock held: "passed 12  failed 1  13 units in 0:06:30  120 units/h", the
// units that ended stopped said apart and not counted as units done.
std::string Totals(const Factory& f) {
  std::string out = "passed " + std::to_string(f.passed) + "  failed " + std::to_string(f.failed);
  if (f.stopped > 0) out += "  stopped " + std::to_string(f.stopped);
  const int units = f.passed + f.failed;
  if (units == 0) return out;
  const uint32_t ms = TickCountMs() - f.firstMs;
  char text[96];
  std::snprintf(text, sizeof text, "  %d units in %u:%02u:%02u  %.0f units/h", units, ms / 3600000,
                ms / 60000 % 60, ms / 1000 % 60, ms > 0 ? units * 3600000.0 / ms : 0.0);
  return out + text;
}

// With the lock held: one line per slot, its port and what it shows, then the totals.
std::vector<std::string> Block(const Factory& f) {
  size_t nameWidth = 0, portWidth = 1;
  for (const Place& p : f.places) {
    nameWidth = std::max(nameWidth, p.name.size());
    portWidth = std::max(portWidth, p.port.size());
  }
  std::vector<std::string> lines;
  for (const Place& p : f.places)
    lines.push_back(PaddedText(p.name, nameWidth) + "  " + PaddedText(p.port.empty() ? "-" : p.port, portWidth) + "  " +
                    p.status);
  lines.push_back(Totals(f));
  return lines;
}

// With the lock held: an event, as one line of its own where no block is drawn.
void Event(Factory& f, const Place& p, const std::string& text) {
  if (f.screen.redraw) DrawBlock(&f.screen, Block(f));
  else if (!f.o.quiet) Say(2, p.name + (p.port.empty() || p.port == p.name ? "" : " " + p.port) + ": " + text);
}

void SetStage(Factory& f, Place& p, int stage, const std::string& status) {
  std::lock_guard<std::mutex> hold(f.screen.lock);
  p.stage = stage;
  p.status = status;
  if (f.screen.redraw) DrawBlock(&f.screen, Block(f));
}

void OnProgress(Factory& f, int index, const std::string& sentence, bool ended) {
  std::lock_guard<std::mutex> hold(f.screen.lock);
  f.places[static_cast<size_t>(index)].status = sentence;
  if (f.screen.redraw && (ended || TickCountMs() - f.screen.lastDraw >= kRedrawIntervalMs))
    DrawBlock(&f.screen, Block(f));
}

void OnError(Factory& f, int index, const std::string& text) {
  std::lock_guard<std::mutex> hold(f.screen.lock);
  const Place& p = f.places[static_cast<size_t>(index)];
  SayAboveBlock(&f.screen, 2, p.name + (p.port.empty() ? "" : " " + p.port) + ": " + text, Block(f));
}

// A line about a unit that names it itself.
void OnNote(Factory& f, const std::string& text) {
  std::lock_guard<std::mutex> hold(f.screen.lock);
  SayAboveBlock(&f.screen, 2, text, Block(f));
}

// The unit's result: its line on stdout, 合格 or 不合格 in its slot until it is taken out.
void Finish(Factory& f, Place& p, int exitValue) {
  const bool good = exitValue == EXIT_DONE;
  std::string shown;
  if (good) shown = p.proc.serial.empty() ? "合格" : "合格 S/N " + p.proc.serial;
  else shown = "不合格 " + (p.proc.reason.empty() ? "exit " + std::to_string(exitValue) : p.proc.reason);
  std::lock_guard<std::mutex> hold(f.screen.lock);
  (good ? f.passed : exitValue == EXIT_STOPPED ? f.stopped : f.failed) += 1;
  p.stage = STAGE_TAKE_OUT;
  p.status = shown + "  " + kStatusUnplug;
  SayAboveBlock(&f.screen, 1, f.o.json ? p.proc.json : p.proc.human, Block(f));
  Event(f, p, shown + " (" + Totals(f) + ")");
}

// The unit's next attempt on its port; its result when no process can be started.
void StartAttempt(Factory& f, Place& p) {
  {
    std::lock_guard<std::mutex> hold(f.screen.lock);
    p.stage = STAGE_RUNNING;
    p.port = p.proc.port;
    p.status = p.proc.attempt > 1 ? "running (attempt " + std::to_string(p.proc.attempt) + ")" : "running";
  }
  if (StartUnitProcess(&p.proc, f.args, f.numbered, p.number, f.sink)) return;
  Finish(f, p, EndForUnit(f.o, p.proc, f.logPath, EXIT_PORT, "cannot start a process for this unit"));
}

// A unit has come to an empty place: its number (produce), then its first attempt.
void NewUnit(Factory& f, Place& p, const std::string& port) {
  int number = PortFromName(port.c_str());
  p.proc.port = number == 0 ? port : PortDisplayName(number);
  p.proc.attempt = 1;
  p.proc.serial.clear();
  p.proc.startMs = TickCountMs();
  ReadLocalTime(&p.proc.started);
  {
    std::lock_guard<std::mutex> hold(f.screen.lock);
    if (!f.begun) f.firstMs = p.proc.startMs;
    f.begun = true;
    p.port = p.proc.port;
    Event(f, p, "unit in");
  }
  if (f.numbered) {
    std::string why;
    int claimed = EXIT_DONE;
    std::vector<int32_t> numbers;
    if (!f.o.haveSerial) {
      claimed = ClaimNumbers(1, &numbers, &why);
    } else if (f.nextGiven > kLastSerialNumber) {
      claimed = EXIT_SERIAL;
      why = "no serial number left after --serial " + std::to_string(f.o.serial);
    } else {
      numbers.push_back(f.nextGiven++);
    }
    if (claimed != EXIT_DONE) return Finish(f, p, EndForUnit(f.o, p.proc, f.logPath, claimed, why));
    p.number = numbers[0];
    p.proc.serial = SerialText(p.number);
  }
  StartAttempt(f, p);
}

// The number of places whose unit is not finished yet.
int Busy(const Factory& f) {
  int busy = 0;
  for (const Place& p : f.places) busy += p.stage == STAGE_RUNNING || p.stage == STAGE_PORT_BACK;
  return busy;
}
// Whether a unit's process that has said its result is still to end.
bool Ending(const Factory& f) {
  for (const Place& p : f.places)
    if (UnitProcessRuns(p.proc)) return true;
  return false;
}

bool CountReached(const Factory& f) { return f.o.count > 0 && f.passed >= f.o.count; }

// One place, one turn of the loop. present is the last listing, made at lookedAt;
// fresh says it was made in this turn.
void Step(Factory& f, Place& p, const std::string& present, uint32_t lookedAt, bool fresh) {
  const bool stop = CliStopAsked();
  int ended = 0;
  // A process whose result is shown ends meanwhile: its end is taken, its exit value
  // not (the result stands).
  if (p.stage != STAGE_RUNNING) EndOfUnitProcess(&p.proc, f.o, f.logPath, &ended);
  switch (p.stage) {
    case STAGE_EMPTY:
      // No more units than --count still needs; the last unit's process gone.
      if (fresh && !present.empty() && !stop && (f.o.count == 0 || f.passed + Busy(f) < f.o.count) &&
          !UnitProcessRuns(p.proc))
        NewUnit(f, p, present);
      return;
    case STAGE_RUNNING: {
      // A result is shown the moment the unit's process says it (it has closed the
      // port then): the person need not wait for the process to end.
      int value = 0;
      if (UnitProcessSaid(p.proc, &value) &&
          AfterAttempt(value, p.proc.attempt, f.o.retries, CliStopAsked()) == ATTEMPT_FINAL)
        return Finish(f, p, value);
      if (!EndOfUnitProcess(&p.proc, f.o, f.logPath, &value)) return;
      const int next = AfterAttempt(value, p.proc.attempt, f.o.retries, CliStopAsked());
      if (next == ATTEMPT_FINAL) return Finish(f, p, value);
      OnNote(f, AgainText(p.proc.human, next));
      if (next == ATTEMPT_AGAIN) {
        ++p.proc.attempt;
        return StartAttempt(f, p);
      }
      p.lostAt = TickCountMs();
      p.lastValue = value;
      return SetStage(f, p, STAGE_PORT_BACK, "port lost: waiting for it to come back");
    }
    case STAGE_PORT_BACK:
      // Only a listing made after the port went can say it is back.
      if (stop) return Finish(f, p, p.lastValue);
      if (!fresh || static_cast<int32_t>(lookedAt - p.lostAt) <= 0) return;
      if (!present.empty()) {
        int number = PortFromName(present.c_str());
        p.proc.port = number == 0 ? present : PortDisplayName(number);
        ++p.proc.attempt;
        return StartAttempt(f, p);
      }
      if (lookedAt - p.lostAt >= kPortBackMs) Finish(f, p, p.lastValue);
      return;
    case STAGE_TAKE_OUT:
      if (fresh && present.empty()) {
        std::lock_guard<std::mutex> hold(f.screen.lock);
        Event(f, p, "unit out");
        p.stage = STAGE_EMPTY;
        p.port.clear();
        p.status = kStatusPlugIn;
        if (f.screen.redraw) DrawBlock(&f.screen, Block(f));
      }
      return;
    default:
      return;
  }
}

}  // namespace

int RunFactory(const CliOptions& o, const std::vector<std::string>& args) {
  const size_t n = o.slots.empty() ? o.ports.size() : o.slots.size();
  std::vector<Place> places(n);
  for (size_t i = 0; i < n; ++i) {
    Place& p = places[i];
    p.proc.index = static_cast<int>(i);
    p.proc.slot = o.slots.empty() ? 0 : o.slots[i];
    p.name = o.slots.empty() ? o.ports[i] : "slot " + std::to_string(o.slots[i]);
    p.status = kStatusPlugIn;
  }
  Factory f{o, args, places, {}, {}, {}};
  f.nextGiven = o.serial;
  SetUpScreen(&f.screen, o.quiet);
  f.sink.progress = [&f](int index, const std::string& sentence, bool ended) { OnProgress(f, index, sentence, ended); };
  f.sink.error = [&f](int index, const std::string& text) { OnError(f, index, text); };

  // What every unit needs is checked once, before any unit comes: the files, the
  // log and, for produce, a counter to take numbers from. A station fault must not
  // show as one 不合格 unit after another.
  JobParamsRecord checked;
  std::string why;
  bool takesSerial = false;
  int ready = PrepareUnitsCommand(o, &checked, &why, &takesSerial);
  f.logPath = checked.logFile;
  // Each unit's process is told the run log rather than find it in QB2BENCH.INI
  // itself: its reading the file at the moment a claim replaces it would make the
  // claim fail.
  if (!o.logGiven && !o.noLog) {
    if (f.logPath.empty()) f.args.push_back("--no-log");
    else f.args.insert(f.args.end(), {"--log", f.logPath});
  }
  f.numbered = o.op->inputs == IN_PRODUCTION && takesSerial;
  int32_t next = 0;
  if (ready == EXIT_DONE && f.numbered && !o.haveSerial && PeekSerial(&next, &why) != RECORD_OK) ready = EXIT_SERIAL;
  if (ready != EXIT_DONE) {
    Say(2, "QB2CLI: " + why);
    MarkCliEnded();
    return ready;
  }
  if (!o.quiet && !f.screen.redraw)
    Say(2, "QB2CLI: watching " + std::to_string(n) + " " +
            (o.slots.empty() ? (n == 1 ? "port" : "ports") : (n == 1 ? "slot" : "slots")) + " for units (Ctrl+C ends)");

  // Until stopped, or --count units have passed, and no unit is left running.
  bool stopSent = false;
  uint32_t lookedAt = TickCountMs() - kLookIntervalMs;
  std::vector<std::string> present(n);
  for (;;) {
    const bool stop = CliStopAsked();
    if (stop && !stopSent) {
      for (Place& p : places) StopUnitProcess(&p.proc);
      stopSent = true;
    }
    const uint32_t now = TickCountMs();
    const bool fresh = now - lookedAt >= kLookIntervalMs;
    if (fresh) {
      lookedAt = now;
      UnitPortsNow(o, &present);
    }
    for (size_t i = 0; i < n; ++i) Step(f, places[i], present[i], lookedAt, fresh);
    if ((stop || CountReached(f)) && Busy(f) == 0 && !Ending(f)) break;
    {
      std::lock_guard<std::mutex> hold(f.screen.lock);
      if (f.screen.redraw && TickCountMs() - f.screen.lastDraw >= kTotalsIntervalMs) DrawBlock(&f.screen, Block(f));
    }
    SleepMs(20);
  }
  {
    std::lock_guard<std::mutex> hold(f.screen.lock);
    ClearBlock(&f.screen);
    if (!o.quiet) Say(2, "QB2CLI: " + Totals(f));
  }
  MarkCliEnded();
  if (!CountReached(f)) return EXIT_STOPPED;
  return f.failed == 0 ? EXIT_DONE : EXIT_SOME_FAILED;
}
