// Several units at once: one child of this program per port, each the single-unit
// QB2CLI of cli/unit.cpp with its own process-wide link, job record and outlets,
// so a unit's fault, however bad, cannot reach its neighbours. The parent claims
// the serial numbers, tells each child its port (and number), gathers each child's
// result line and progress through pipes, and stops them all on Ctrl+C.
//
// A child (--child) writes "H <line for a person>" and "J <JSON object>" on stdout
// when it ends, and on stderr "P <done> <total> <sentence>" for its progress, "E
// <text>" for what goes wrong and "T <line>" for a trace line; it stops when its
// standard input ends or says "stop".
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "jobs/worker.h"
#include "platform/console.h"
#include "platform/port.h"
#include "platform/process.h"
#include "platform/systhread.h"
#include "record/line_record.h"
#include "record/run_log.h"
#include "record/serial_counter.h"

namespace {

const uint32_t kRedrawIntervalMs = 200;  // a terminal's block of lines: five times a second

// One unit. port, serial and the start are the main thread's, set before the
// readers start; human and json are written by the stdout reader and read by the
// main thread after joining it; progress, the plain-line marks and exit are
// written and read under the screen's lock (Draw reads them from any thread).
struct Unit {
  std::string port;
  std::string serial;         // the number given to it ("": none)
  uint32_t startMs = 0;
  LocalTimeFields started{};  // when its process started, as the run log stamps lines
  ChildProcess child = nullptr;
  PipeHandle in = nullptr, out = nullptr, err = nullptr;
  std::string human, json;  // its result lines
  std::string progress;     // its latest progress sentence
  uint32_t lastPlain = 0;
  bool plainShown = false;
  int exit = -1;
  std::atomic<bool> ended{false};  // its process has ended (main thread; the readers look)
  std::thread outReader, errReader;
};

// What every reader thread and the main thread share: one writer at a time on the
// console, so lines of different units never mix within a line.
struct Screen {
  std::mutex lock;
  bool redraw = false;   // a block of one line per unit on stderr, drawn in place
  bool outOnScreen = false;  // stdout is the same terminal: results go above the block
  bool json = false, quiet = false;
  size_t drawn = 0;      // lines of the block on the screen now
  uint32_t lastDraw = 0;
};

// Splits what a pipe brings into lines, until its end, or until the child has
// ended and the pipe stays quiet: a process the child left behind may hold its
// end open, and the parent must not wait on it for ever.
template <typename F>
void ReadLines(PipeHandle pipe, const std::atomic<bool>& ended, F onLine) {
  std::string pending;
  char buffer[4096];
  for (int n;;) {
    n = PipeReadFor(pipe, buffer, sizeof buffer, 200);
    if (n == -2 && ended.load()) break;
    if (n == -2) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      onLine(line);
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty()) onLine(pending);
}

class Gang {
 public:
  Gang(const CliOptions& o, std::vector<Unit>* units) : o_(o), units_(*units) {
    screen_.json = o.json;
    screen_.quiet = o.quiet;
    screen_.redraw = !o.quiet && StreamCanRedraw(2);
    screen_.outOnScreen = screen_.redraw && StreamIsTerminal(1);
  }

  // With the screen's lock held: the block of progress lines taken off the screen.
  void Clear() {
    if (screen_.drawn == 0) return;
    std::string out = "\x1b[" + std::to_string(screen_.drawn) + "A";
    for (size_t i = 0; i < screen_.drawn; ++i) out += "\r\x1b[2K\n";
    out += "\x1b[" + std::to_string(screen_.drawn) + "A";
    ConsoleWrite(2, out.data(), out.size());
    screen_.drawn = 0;
  }
  // With the lock held: one line per unit, its port first.
  void Draw() {
    std::string out;
    if (screen_.drawn > 0) out = "\x1b[" + std::to_string(screen_.drawn) + "A";
    for (const Unit& u : units_) out += "\r\x1b[2K" + u.port + " " + (u.exit >= 0 ? std::string("ended") : u.progress) + "\n";
    ConsoleWrite(2, out.data(), out.size());
    screen_.drawn = units_.size();
    screen_.lastDraw = TickCountMs();
  }

  void OnProgress(Unit& u, const std::string& sentence, bool ended) {
    std::lock_guard<std::mutex> hold(screen_.lock);
    u.progress = sentence;
    if (screen_.quiet) return;
    uint32_t now = TickCountMs();
    if (screen_.redraw) {
      if (ended || now - screen_.lastDraw >= kRedrawIntervalMs) Draw();
      return;
    }
    if (!ended && u.plainShown && now - u.lastPlain < kPlainProgressMs) return;
    u.lastPlain = now;
    u.plainShown = true;
    Say(2, u.port + " " + sentence);
  }

  void OnError(Unit& u, const std::string& text) {
    std::lock_guard<std::mutex> hold(screen_.lock);
    Clear();
    Say(2, u.port + ": " + text);
    if (screen_.redraw) Draw();
  }

  // A unit's end with its exit value, and its one line, whole, above the block.
  void OnResult(Unit& u, int exitValue) {
    std::lock_guard<std::mutex> hold(screen_.lock);
    u.exit = exitValue;
    const std::string& line = screen_.json ? u.json : u.human;
    if (screen_.outOnScreen) Clear();
    Say(1, line);
    if (screen_.redraw) Draw();
  }

  void StartReaders(Unit& u) {
    u.outReader = std::thread([this, &u] {
      ReadLines(u.out, u.ended, [&](const std::string& line) {
        if (line.compare(0, 2, "H ") == 0) u.human = line.substr(2);
        else if (line.compare(0, 2, "J ") == 0) u.json = line.substr(2);
      });
    });
    u.errReader = std::thread([this, &u] {
      ReadLines(u.err, u.ended, [&](const std::string& line) {
        if (line.compare(0, 2, "P ") == 0) {
          unsigned done = 0, total = 0;
          int skip = 0;
          if (std::sscanf(line.c_str() + 2, "%u %u %n", &done, &total, &skip) >= 2)
            OnProgress(u, line.substr(2 + static_cast<size_t>(skip)), done >= total);
        } else if (line.compare(0, 2, "E ") == 0) {
          OnError(u, line.substr(2));
        } else if (line.compare(0, 2, "T ") == 0) {
          OnError(u, line.substr(2));
        } else if (!line.empty()) {
          OnError(u, line);  // a child that failed before it knew it was one
        }
      });
    });
  }

  void Finish() {
    std::lock_guard<std::mutex> hold(screen_.lock);
    Clear();
  }

 private:
  const CliOptions& o_;
  std::vector<Unit>& units_;
  Screen screen_;
};

// The child's arguments: the parent's, but its own port (and serial number), as a child.
std::vector<std::string> ChildArgs(const std::vector<std::string>& args, const std::string& port, bool serial,
                                   int32_t number) {
  std::vector<std::string> out = {OwnProgramPath(), "--child", "--port", port};
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--port" || args[i] == "--slots" || args[i] == "--serial") {
      ++i;  // and its value
      continue;
    }
    out.push_back(args[i]);
  }
  if (serial) {
    out.push_back("--serial");
    out.push_back(std::to_string(number));
  }
  return out;
}

// The exit value a child's JSON line gives.
int ExitOfLine(const std::string& json) {
  size_t at = json.rfind("\"exit\":");
  return at == std::string::npos ? EXIT_NO_RESULT : std::atoi(json.c_str() + at + 7);
}

// A unit whose own process did not say how it ended, or never ran: its lines, as a
// child's would be, and its run log line, written by the parent so that the unit
// is in the record all the same. A child that logged its line and was then killed
// before it could say so is not logged twice, and its lines say what it logged.
// The exit value for the unit.
int EndForUnit(const CliOptions& o, Unit& u, const std::string& logPath, int exitValue, const std::string& why) {
  RunRecord run;
  run.operation = o.op->record;
  run.serial = u.serial;
  run.result = why;
  run.ms = TickCountMs() - u.startMs;
  run.timed = true;
  ReadLocalTime(&run.time);
  std::string logged;
  if (!logPath.empty() && u.child && RunLogHasLine(logPath, u.port, run.operation, u.serial, u.started, &logged)) {
    run.result = logged;
    if (logged == "OK") exitValue = EXIT_DONE;
  } else if (!logPath.empty()) {
    RecordRun(run, logPath, u.port);
  }
  UnitResult r;
  r.port = u.port;
  r.command = o.command;
  r.operation = run.operation;
  r.serial = run.serial;
  r.ms = run.ms;
  r.time = RunTimeText(run.time);
  r.exit = exitValue;
  r.result = run.result;
  u.human = HumanLine(r);
  u.json = JsonLine(r);
  return exitValue;
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
  std::vector<Unit> units(o.ports.size());
  for (size_t i = 0; i < units.size(); ++i) {
    // As the unit's own process names its port in its lines ("7" is COM7).
    int number = PortFromName(o.ports[i].c_str());
    units[i].port = number == 0 ? o.ports[i] : PortDisplayName(number);
    units[i].startMs = TickCountMs();
  }
  Gang gang(o, &units);

  // The files and the log first, as a single unit checks them: a command that
  // cannot run takes no number and starts no process.
  UseConsoleOutlets("QB2CLI", o);
  JobParamsRecord checked;
  std::string why;
  bool takesSerial = false;
  int ready = PrepareCommand(o, &checked, &why, &takesSerial);
  if (ready == EXIT_DONE) ready = CheckLineRecord(o, &why);
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

  size_t running = 0;
  int number = 0;  // of the units that start
  for (size_t i = 0; i < units.size(); ++i) {
    Unit& u = units[i];
    ReadLocalTime(&u.started);
    if (slotFault(i)) {
      EndForUnit(o, u, logPath, EXIT_PORT, o.slotFaults[i]);
      gang.OnResult(u, EXIT_PORT);
      continue;
    }
    if (numbered && ready == EXIT_DONE) u.serial = SerialText(numbers[static_cast<size_t>(number)]);
    if (ready != EXIT_DONE) {
      EndForUnit(o, u, logPath, ready, why);
      gang.OnResult(u, ready);
      continue;
    }
    const int32_t serial = numbered ? numbers[static_cast<size_t>(number++)] : 0;
    u.child = StartChildProcess(ChildArgs(args, u.port, numbered, serial), &u.in, &u.out, &u.err);
    if (!u.child) {
      EndForUnit(o, u, logPath, EXIT_PORT, "cannot start a process for this unit");
      gang.OnResult(u, EXIT_PORT);
      continue;
    }
    gang.StartReaders(u);
    ++running;
  }

  // Until every child has ended: a stop asked of the parent (SIGTERM to it alone,
  // a console close) goes to each child through its pipe; a Ctrl+C reaches the
  // children from the console as well.
  bool stopSent = false;
  while (running > 0) {
    if (CliStopAsked() && !stopSent) {
      for (Unit& u : units)
        if (u.child) PipeWrite(u.in, "stop\n", 5);
      stopSent = true;
    }
    for (Unit& u : units) {
      if (!u.child || u.outReader.get_id() == std::thread::id()) continue;
      int value = 0;
      if (!WaitChildProcess(u.child, 0, &value)) continue;
      u.ended.store(true);
      u.outReader.join();
      u.errReader.join();
      // A child that ended without its result line (killed, crashed) leaves its
      // unit in a state nobody knows: said as such, never as a failure of the unit.
      if (u.json.empty() || u.human.empty()) {
        value = EndForUnit(o, u, logPath, EXIT_NO_RESULT, "no result");
      } else if (value < EXIT_DONE || value > EXIT_NO_RESULT) {
        value = ExitOfLine(u.json);  // ended after its result: the result stands
      }
      gang.OnResult(u, value);
      --running;
    }
    SleepMs(20);
  }
  gang.Finish();
  int failed = 0, stopped = 0;
  for (Unit& u : units) {
    if (u.child) {
      PipeClose(u.in);
      PipeClose(u.out);
      PipeClose(u.err);
      CloseChildProcess(u.child);
    }
    failed += u.exit != EXIT_DONE;
    stopped += u.exit == EXIT_STOPPED;
  }
  MarkCliEnded();
  if (failed == 0) return EXIT_DONE;
  return stopped == static_cast<int>(units.size()) ? EXIT_STOPPED : EXIT_SOME_FAILED;
}
