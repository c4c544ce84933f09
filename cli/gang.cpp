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
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/systhread.h"
#include "record/serial_counter.h"
#include "record/settings.h"

namespace {

const unsigned kCounterWaitMs = 5000;
const uint32_t kPlainIntervalMs = 1000;  // plain progress lines: at most one a second per unit
const uint32_t kRedrawIntervalMs = 200;  // a terminal's block of lines: five times a second

struct Unit {
  std::string port;
  ChildProcess child = nullptr;
  PipeHandle in = nullptr, out = nullptr, err = nullptr;
  std::string human, json;  // its result lines
  std::string progress;     // its latest progress sentence
  uint32_t lastPlain = 0;
  bool plainShown = false;
  int exit = -1;
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

// Splits what a pipe brings into lines.
template <typename F>
void ReadLines(PipeHandle pipe, F onLine) {
  std::string pending;
  char buffer[4096];
  for (int n; (n = PipeRead(pipe, buffer, sizeof buffer)) > 0;) {
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
    if (!ended && u.plainShown && now - u.lastPlain < kPlainIntervalMs) return;
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

  // A unit's result: its one line, whole, above the block.
  void OnResult(Unit& u) {
    std::lock_guard<std::mutex> hold(screen_.lock);
    const std::string& line = screen_.json ? u.json : u.human;
    if (screen_.outOnScreen) Clear();
    if (!line.empty()) Say(1, line);
    else Say(1, u.port + " " + o_.command + " ended without a result (exit " + std::to_string(u.exit) + ")");
    if (screen_.redraw) Draw();
  }

  void StartReaders(Unit& u) {
    u.outReader = std::thread([this, &u] {
      ReadLines(u.out, [&](const std::string& line) {
        if (line.compare(0, 2, "H ") == 0) u.human = line.substr(2);
        else if (line.compare(0, 2, "J ") == 0) u.json = line.substr(2);
      });
    });
    u.errReader = std::thread([this, &u] {
      ReadLines(u.err, [&](const std::string& line) {
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
    if (args[i] == "--port" || args[i] == "--serial") {
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

// A unit that could not start: its line, as a child's would be.
void NotStarted(const CliOptions& o, Unit& u, int exitValue, const std::string& why) {
  UnitResult r;
  r.port = u.port;
  r.command = o.command;
  r.operation = o.op->record;
  r.result = why;
  r.exit = exitValue;
  u.exit = exitValue;
  u.human = HumanLine(r);
  u.json = JsonLine(r);
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
  for (size_t i = 0; i < units.size(); ++i) units[i].port = o.ports[i];

  // One claim for every unit, in port order: N, N+1, ... No two units, and no other
  // program, get the same number; a failed unit's number stays unused.
  const bool claim = o.op->inputs == IN_PRODUCTION && !o.haveSerial;
  const bool numbered = o.op->inputs == IN_PRODUCTION;
  int32_t first = o.serial;
  std::string why;
  bool claimed = !claim;
  if (claim) {
    std::string holder;
    FileHandle held = HoldSerialCounter(kSettingsFile, "QB2CLI", kCounterWaitMs, &holder);
    if (!held) why = "the serial number counter is held by " + (holder.empty() ? std::string("another program") : holder);
    else claimed = ClaimSerialNumbers(kSettingsFile, static_cast<int>(units.size()), &first, &why);
    ReleaseSerialCounter(held);
  }

  Gang gang(o, &units);
  for (size_t i = 0; i < units.size(); ++i) {
    Unit& u = units[i];
    if (!claimed) {
      NotStarted(o, u, EXIT_SERIAL, why);
      continue;
    }
    int32_t number = static_cast<int32_t>(static_cast<uint32_t>(first) + static_cast<uint32_t>(i));
    u.child = StartChildProcess(ChildArgs(args, u.port, numbered, number), &u.in, &u.out, &u.err);
    if (!u.child) {
      NotStarted(o, u, EXIT_PORT, "cannot start a process for this unit");
      continue;
    }
    gang.StartReaders(u);
  }

  // Until every child has ended: a stop asked of the parent (SIGTERM to it alone,
  // a console close) goes to each child through its pipe; a Ctrl+C reaches the
  // children from the console as well.
  bool stopSent = false;
  size_t running = 0;
  for (const Unit& u : units) running += u.child != nullptr;
  while (running > 0) {
    if (CliStopAsked() && !stopSent) {
      for (Unit& u : units)
        if (u.child && u.exit < 0) PipeWrite(u.in, "stop\n", 5);
      stopSent = true;
    }
    for (Unit& u : units) {
      if (!u.child || u.exit >= 0) continue;
      int value = 0;
      if (!WaitChildProcess(u.child, 0, &value)) continue;
      u.outReader.join();
      u.errReader.join();
      u.exit = value;
      gang.OnResult(u);
      --running;
    }
    SleepMs(20);
  }
  gang.Finish();
  int failed = 0;
  for (Unit& u : units) {
    if (!u.child) gang.OnResult(u);
    if (u.child) {
      PipeClose(u.in);
      PipeClose(u.out);
      PipeClose(u.err);
      CloseChildProcess(u.child);
    }
    failed += u.exit != 0;
  }
  MarkCliEnded();
  return failed == 0 ? EXIT_DONE : EXIT_SOME_FAILED;
}
