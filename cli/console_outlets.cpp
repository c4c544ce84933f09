// QB2CLI's outlets: what the jobs report, on the console. stdout carries only the
// result lines; everything else goes to stderr.
#include <atomic>
#include <mutex>
#include <string>

#include "cli/cli.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/console.h"
#include "platform/systhread.h"

namespace {

// The unit these outlets speak for, and how it shows its progress. Written once
// before the job starts, read by the job's thread and the receiver.
struct Console {
  std::string port;
  bool quiet = false, verbose = false, child = false, terminal = false;
  std::mutex lock;        // one line at a time on stderr
  size_t shown = 0;       // the length of the progress line on a terminal, 0 when none
  uint32_t lastPlain = 0;  // when the last plain progress line went out
  bool plainShown = false;
};
Console& C() {
  static Console* console = new Console;
  return *console;
}


std::atomic<int> StopAsked{0};
std::atomic<int> Ended{0};

// With the lock held: the terminal's progress line cleared.
void ClearLine() {
  Console& c = C();
  if (c.shown == 0) return;
  std::string blank = "\r" + std::string(c.shown, ' ') + "\r";
  ConsoleWrite(2, blank.data(), blank.size());
  c.shown = 0;
}

void Error(const char* text) {
  Console& c = C();
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.child) return Say(2, std::string("E ") + text);
  ClearLine();
  Say(2, c.port + ": " + text);
}

void ConsoleTrace(const char* line) {
  Console& c = C();
  if (!c.verbose) return;
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.child) return Say(2, std::string("T ") + line);
  ClearLine();
  Say(2, c.port + " " + line);
}

// Only the run log's troubles reach the status line on the command line.
void ConsoleStatus(const char* text) { Error(text); }

void ConsoleWarning(const char* text, const char*) { Error(text); }

void ConsoleProgress(uint32_t done, uint32_t total, const char* text, bool ended) {
  Console& c = C();
  if (c.quiet) return;
  std::lock_guard<std::mutex> hold(c.lock);
  if (c.child) {
    // The parent draws every unit's progress; it is told each step.
    return Say(2, "P " + std::to_string(done) + " " + std::to_string(total) + " " + text);
  }
  if (c.terminal) {
    std::string line = c.port + " " + text;
    std::string out = "\r" + line;
    if (line.size() < c.shown) out += std::string(c.shown - line.size(), ' ');
    ConsoleWrite(2, out.data(), out.size());
    c.shown = line.size();
    return;
  }
  uint32_t now = TickCountMs();
  if (!ended && c.plainShown && now - c.lastPlain < kPlainProgressMs) return;
  c.lastPlain = now;
  c.plainShown = true;
  Say(2, c.port + " " + text);
}

void ConsolePost(unsigned) {}

// The end of a production run asks its front end for em-stop and close: here the
// stop ends the run's loop; the port closes once the job has ended.
void ConsoleCommand(int id) {
  if (id == IDC_EM_STOP) SetLinkFlag(StopSequence);
}

const OperatorOutlets kConsoleOutlets = {ConsoleTrace, ConsoleStatus, ConsoleWarning, ConsoleProgress,
                                         ConsolePost,  ConsoleCommand, nullptr};

void OnStop() {
  StopAsked.store(1);
  RequestWorkerStop();
  SetLinkFlag(StopSequence);
}

bool HasEnded() { return Ended.load() != 0; }

}  // namespace

void Say(int stream, const std::string& text) {
  std::string line = text + "\n";
  ConsoleWrite(stream, line.data(), line.size());
}

void UseConsoleOutlets(const std::string& port, const CliOptions& options) {
  Console& c = C();
  c.port = port;
  c.quiet = options.quiet;
  c.verbose = options.verbose;
  c.child = options.child;
  c.terminal = !options.child && StreamIsTerminal(2);
  InstallOutlets(&kConsoleOutlets);
}

void EndProgressLine() {
  Console& c = C();
  std::lock_guard<std::mutex> hold(c.lock);
  ClearLine();
}

void InstallCliStop() { InstallStopHandler(OnStop, HasEnded); }
void RaiseCliStop() { OnStop(); }
bool CliStopAsked() { return StopAsked.load() != 0; }
void MarkCliEnded() { Ended.store(1); }
