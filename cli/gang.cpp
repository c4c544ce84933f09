// Several units at once: one child of this program per port (cli/unit_process.h),
// so a unit's fault, however bad, cannot reach its neighbours. The parent claims
// the serial numbers, tells each child its port (and number), gathers each child's
// result line and progress through pipes, runs a unit's job again after a fault
// that a second try can mend (--retries), and stops them all on Ctrl+C.
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "cli/unit_process.h"
#include "jobs/worker.h"
#include "platform/console.h"
#include "platform/port.h"
#include "platform/process.h"
#include "platform/systhread.h"
#include "record/line_record.h"
#include "record/serial_counter.h"

namespace {

// One unit of the gang. proc is the main thread's (cli/unit_process.h); label,
// progress, the plain-line marks and exit are written and read under the screen's
// lock (the block reads them from any thread); the rest is the main thread's.
struct GangUnit {
  UnitProcess proc;
  int32_t number = 0;         // its serial number, when numbered
  std::string label;          // its port, as its block line starts
  std::string progress;       // its latest progress sentence
  uint32_t lastPlain = 0;
  bool plainShown = false;
  int exit = -1;              // its result's exit value, once it has one
  bool waiting = false;       // its port went during the job: waiting for it to come back
  uint32_t lostAt = 0;
  int lastValue = 0;          // the exit value of the attempt that lost the port
};

struct Gang {
  const CliOptions& o;
  std::vector<GangUnit>& units;
  Screen screen;
};

// With the lock held: one line per unit, its port first.
std::vector<std::string> Block(const Gang& g) {
  std::vector<std::string> lines;
  for (const GangUnit& u : g.units)
    lines.push_back(u.label + " " + (u.exit >= 0 ? std::string("ended") : u.waiting ? "port lost" : u.progress));
  return lines;
}

void OnProgress(Gang& g, int index, const std::string& sentence, bool ended) {
  GangUnit& u = g.units[static_cast<size_t>(index)];
  std::lock_guard<std::mutex> hold(g.screen.lock);
  u.progress = sentence;
  if (g.o.quiet) return;
  uint32_t now = TickCountMs();
  if (g.screen.redraw) {
    if (ended || now - g.screen.lastDraw >= kRedrawIntervalMs) DrawBlock(&g.screen, Block(g));
    return;
  }
  if (!ended && u.plainShown && now - u.lastPlain < kPlainProgressMs) return;
  u.lastPlain = now;
  u.plainShown = true;
  Say(2, u.label + " " + sentence);
}

void OnError(Gang& g, int index, const std::string& text) {
  std::lock_guard<std::mutex> hold(g.screen.lock);
  SayAboveBlock(&g.screen, 2, g.units[static_cast<size_t>(index)].label + ": " + text, Block(g));
}

// A line about a unit that names it itself.
void OnNote(Gang& g, const std::string& text) {
  std::lock_guard<std::mutex> hold(g.screen.lock);
  SayAboveBlock(&g.screen, 2, text, Block(g));
}

// A unit's end with its exit value, and its one line, whole, above the block.
void OnResult(Gang& g, GangUnit& u, int exitValue) {
  std::lock_guard<std::mutex> hold(g.screen.lock);
  u.exit = exitValue;
  u.waiting = false;
  SayAboveBlock(&g.screen, 1, g.o.json ? u.proc.json : u.proc.human, Block(g));
}

// The unit's next attempt, at port, keeping its number; false (and its result
// given) when its process cannot be started.
bool StartAttempt(Gang& g, GangUnit& u, const std::vector<std::string>& args, bool numbered,
                  const std::string& logPath, const UnitProcessSink& sink) {
  {
    std::lock_guard<std::mutex> hold(g.screen.lock);
    u.label = u.proc.port;
    u.waiting = false;
  }
  if (StartUnitProcess(&u.proc, args, numbered, u.number, sink)) return true;
  OnResult(g, u, EndForUnit(g.o, u.proc, logPath, EXIT_PORT, "cannot start a process for this unit"));
  return false;
}

// As the unit's own process names its port in its lines ("7" is COM7).
std::string PortAsNamed(const std::string& given) {
  int number = PortFromName(given.c_str());
  return number == 0 ? given : PortDisplayName(number);
}

}  // namespace

// Child side: a stop asked for by the parent (its pipe says "stop" or ends).
void WatchParentForStop() {
  std::thread([] {
    char buffer[64];
    std::string said;
    for (int n; (n = ConsoleReadInput(buffer, sizeof buffer)) > 0;) {
      said.append(buffer, static_cast<size_t>(n));
      if (said.find("stop") != std::string::npos) break;
    }
    RaiseCliStop();
  }).detach();
}

int RunGang(const CliOptions& o, const std::vector<std::string>& args) {
  std::vector<GangUnit> units(o.ports.size());
  for (size_t i = 0; i < units.size(); ++i) {
    units[i].proc.index = static_cast<int>(i);
    units[i].proc.port = units[i].label = PortAsNamed(o.ports[i]);
    units[i].proc.slot = i < o.slots.size() ? o.slots[i] : 0;
    units[i].proc.startMs = TickCountMs();
  }
  Gang g{o, units, {}};
  SetUpScreen(&g.screen, o.quiet);
  UnitProcessSink sink;
  sink.progress = [&g](int index, const std::string& sentence, bool ended) { OnProgress(g, index, sentence, ended); };
  sink.error = [&g](int index, const std::string& text) { OnError(g, index, text); };

  // The files and the log first, as a single unit checks them: a command that
  // cannot run takes no number and starts no process.
  JobParamsRecord checked;
  std::string why;
  bool takesSerial = false;
  int ready = PrepareUnitsCommand(o, &checked, &why, &takesSerial);
  const std::string logPath = checked.logFile;
  // One claim for every unit, in port order: N, N+1, ... No two units, and no other
  // program, get the same number; a failed unit's number stays unused.
  std::vector<int32_t> numbers;
  const bool numbered = o.op->inputs == IN_PRODUCTION && takesSerial;
  // A slot with no unit gets no number: only the units that can start count.
  auto slotFault = [&](size_t i) { return i < o.slotFaults.size() && !o.slotFaults[i].empty(); };
  int count = 0;
  for (size_t i = 0; i < units.size(); ++i) count += !slotFault(i);
  if (ready == EXIT_DONE && numbered && !o.haveSerial && count > 0) ready = ClaimNumbers(count, &numbers, &why);
  if (ready == EXIT_DONE && numbered && o.haveSerial)
    for (int i = 0; i < count; ++i) numbers.push_back(o.serial + i);
  if (ready == EXIT_DONE && CliStopAsked()) {
    ready = EXIT_STOPPED;
    why = kStoppedResult;
  }

  size_t unfinished = 0;
  int number = 0;  // of the units that start
  for (size_t i = 0; i < units.size(); ++i) {
    GangUnit& u = units[i];
    ReadLocalTime(&u.proc.started);
    if (slotFault(i)) {
      OnResult(g, u, EndForUnit(o, u.proc, logPath, EXIT_PORT, o.slotFaults[i]));
      continue;
    }
    if (numbered && ready == EXIT_DONE) {
      u.number = numbers[static_cast<size_t>(number++)];
      u.proc.serial = SerialText(u.number);
    }
    if (ready != EXIT_DONE) {
      OnResult(g, u, EndForUnit(o, u.proc, logPath, ready, why));
      continue;
    }
    if (StartAttempt(g, u, args, numbered, logPath, sink)) ++unfinished;
  }

  // Until every unit has its result: a stop asked of the parent (SIGTERM to it
  // alone, a console close) goes to each child through its pipe; a Ctrl+C reaches
  // the children from the console as well.
  bool stopSent = false;
  uint32_t lastLook = 0;
  while (unfinished > 0) {
    const bool stop = CliStopAsked();
    if (stop && !stopSent) {
      for (GangUnit& u : units) StopUnitProcess(&u.proc);
      stopSent = true;
    }
    bool anyWaiting = false;
    for (GangUnit& u : units) {
      int value = 0;
      if (EndOfUnitProcess(&u.proc, o, logPath, &value)) {
        const int next = AfterAttempt(value, u.proc.attempt, o.retries, CliStopAsked());
        if (next == ATTEMPT_FINAL) {
          OnResult(g, u, value);
          --unfinished;
          continue;
        }
        OnNote(g, AgainText(u.proc.human, next));
        if (next == ATTEMPT_AGAIN) {
          ++u.proc.attempt;
          if (!StartAttempt(g, u, args, numbered, logPath, sink)) --unfinished;
          continue;
        }
        std::lock_guard<std::mutex> hold(g.screen.lock);
        u.waiting = true;
        u.lostAt = TickCountMs();
        u.lastValue = value;
      }
      anyWaiting = anyWaiting || u.waiting;
    }
    // A lost port is looked for in one listing for every unit that waits; only a
    // listing made after the port went can say it is back.
    const uint32_t now = TickCountMs();
    if (anyWaiting && now - lastLook >= kLookIntervalMs) {
      lastLook = now;
      std::vector<std::string> present;
      UnitPortsNow(o, &present);
      for (GangUnit& u : units) {
        if (!u.waiting) continue;
        const std::string& port = present[static_cast<size_t>(u.proc.index)];
        if (!port.empty() && !CliStopAsked()) {
          u.proc.port = PortAsNamed(port);
          ++u.proc.attempt;
          if (!StartAttempt(g, u, args, numbered, logPath, sink)) --unfinished;
        } else if (CliStopAsked() || now - u.lostAt >= kPortBackMs) {
          OnResult(g, u, u.lastValue);
          --unfinished;
        }
      }
    }
    SleepMs(20);
  }
  {
    std::lock_guard<std::mutex> hold(g.screen.lock);
    ClearBlock(&g.screen);
  }
  int failed = 0, stopped = 0;
  for (GangUnit& u : units) {
    failed += u.exit != EXIT_DONE;
    stopped += u.exit == EXIT_STOPPED;
  }
  MarkCliEnded();
  if (units.size() == 1) return units[0].exit;  // one unit run again (--retries): its own value
  if (failed == 0) return EXIT_DONE;
  return stopped == static_cast<int>(units.size()) ? EXIT_STOPPED : EXIT_SOME_FAILED;
}
