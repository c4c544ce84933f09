#include "cli/unit_process.h"

#include <cstdio>
#include <cstdlib>

#include "jobs/worker.h"
#include "platform/console.h"
#include "record/line_record.h"
#include "record/run_log.h"

namespace {

// The exit value a child's JSON line gives.
int ExitOfLine(const std::string& json) {
  size_t at = json.rfind("\"exit\":");
  return at == std::string::npos ? EXIT_NO_RESULT : std::atoi(json.c_str() + at + 7);
}

// The options a parent gives each child in its own way, with their values.
bool ParentsOwn(const std::string& arg) {
  return arg == "--port" || arg == "--slots" || arg == "--serial" || arg == "--count" || arg == "--retries";
}

}  // namespace

void ReadPipeLines(PipeHandle pipe, const std::atomic<bool>& ended,
                   const std::function<void(const std::string&)>& onLine) {
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

bool StartUnitProcess(UnitProcess* u, const std::vector<std::string>& args, bool numbered, int32_t number,
                      const UnitProcessSink& sink) {
  std::vector<std::string> childArgs = {OwnProgramPath(), "--child", "--port", u->port};
  for (size_t i = 1; i < args.size(); ++i) {
    if (ParentsOwn(args[i])) {
      ++i;  // and its value
      continue;
    }
    if (args[i] == "--watch") continue;
    childArgs.push_back(args[i]);
  }
  if (numbered) childArgs.insert(childArgs.end(), {"--serial", std::to_string(number)});
  if (u->attempt > 1) childArgs.insert(childArgs.end(), {"--attempt", std::to_string(u->attempt)});
  if (u->slot > 0) childArgs.insert(childArgs.end(), {"--slot", std::to_string(u->slot)});
  u->human.clear();
  u->json.clear();
  u->reason.clear();
  u->said.store(false);
  u->ended.store(false);
  u->startMs = TickCountMs();
  ReadLocalTime(&u->started);
  u->child = StartChildProcess(childArgs, &u->in, &u->out, &u->err);
  if (!u->child) return false;
  const int index = u->index;
  u->outReader = std::thread([u] {
    ReadPipeLines(u->out, u->ended, [u](const std::string& line) {
      if (line.compare(0, 2, "H ") == 0) u->human = line.substr(2);
      else if (line.compare(0, 2, "J ") == 0) u->json = line.substr(2);
      else if (line.compare(0, 2, "R ") == 0) u->reason = line.substr(2);
      if (!u->human.empty() && !u->json.empty() && !u->reason.empty()) u->said.store(true);
    });
  });
  u->errReader = std::thread([u, index, sink] {
    ReadPipeLines(u->err, u->ended, [index, &sink](const std::string& line) {
      if (line.compare(0, 2, "P ") == 0) {
        unsigned done = 0, total = 0;
        int skip = 0;
        if (std::sscanf(line.c_str() + 2, "%u %u %n", &done, &total, &skip) >= 2 && sink.progress)
          sink.progress(index, line.substr(2 + static_cast<size_t>(skip)), done >= total);
      } else if ((line.compare(0, 2, "E ") == 0 || line.compare(0, 2, "T ") == 0) && sink.error) {
        sink.error(index, line.substr(2));
      } else if (!line.empty() && sink.error) {
        sink.error(index, line);  // a child that failed before it knew it was one
      }
    });
  });
  return true;
}

bool EndOfUnitProcess(UnitProcess* u, const CliOptions& o, const std::string& logPath, int* exitValue) {
  if (!u->child) return false;
  int value = 0;
  if (!WaitChildProcess(u->child, 0, &value)) return false;
  u->ended.store(true);
  u->outReader.join();
  u->errReader.join();
  PipeClose(u->in);
  PipeClose(u->out);
  PipeClose(u->err);
  u->in = u->out = u->err = nullptr;
  // Looked at while the handle is still there: EndForUnit asks whether a child ran.
  if (u->json.empty() || u->human.empty()) value = EndForUnit(o, *u, logPath, EXIT_NO_RESULT, "no result");
  else if (value < EXIT_DONE || value > EXIT_NO_RESULT) value = ExitOfLine(u->json);  // ended after its result: the result stands
  CloseChildProcess(u->child);
  u->child = nullptr;
  *exitValue = value;
  return true;
}

bool UnitProcessSaid(const UnitProcess& u, int* exitValue) {
  if (!u.said.load()) return false;
  *exitValue = ExitOfLine(u.json);
  return true;
}

void StopUnitProcess(UnitProcess* u) {
  if (u->child) PipeWrite(u->in, "stop\n", 5);
}

int EndForUnit(const CliOptions& o, UnitProcess& u, const std::string& logPath, int exitValue, const std::string& why) {
  RunRecord run;
  run.operation = o.op->record;
  run.serial = u.serial;
  run.result = why;
  run.ms = TickCountMs() - u.startMs;
  run.timed = true;
  run.attempt = u.attempt;
  run.slot = u.slot;
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
  r.slot = u.slot;
  r.attempt = u.attempt;
  r.exit = exitValue;
  r.result = run.result;
  u.human = HumanLine(r);
  u.json = JsonLine(r);
  u.reason = run.result;
  return exitValue;
}

int AfterAttempt(int exitValue, int attempt, int retries, bool stopAsked) {
  if (stopAsked || attempt > retries) return ATTEMPT_FINAL;
  if (exitValue == EXIT_NO_ANSWER) return ATTEMPT_AGAIN;
  if (exitValue == EXIT_PORT) return ATTEMPT_WHEN_PORT_BACK;
  return ATTEMPT_FINAL;
}

int PrepareUnitsCommand(const CliOptions& o, JobParamsRecord* checked, std::string* why, bool* takesSerial) {
  UseConsoleOutlets("QB2CLI", o);
  int ready = PrepareCommand(o, checked, why, takesSerial);
  if (ready == EXIT_DONE) ready = CheckLineRecord(o, why);
  return ready;
}

std::string AgainText(const std::string& line, int next) {
  return line + (next == ATTEMPT_AGAIN ? ": run again" : ": run again once its port is back (5 s at most)");
}

void SetUpScreen(Screen* s, bool quiet) {
  s->redraw = !quiet && StreamCanRedraw(2);
  s->outOnScreen = s->redraw && StreamIsTerminal(1);
}

void ClearBlock(Screen* s) {
  if (s->drawn == 0) return;
  std::string out = "\x1b[" + std::to_string(s->drawn) + "A";
  for (size_t i = 0; i < s->drawn; ++i) out += "\r\x1b[2K\n";
  out += "\x1b[" + std::to_string(s->drawn) + "A";
  ConsoleWrite(2, out.data(), out.size());
  s->drawn = 0;
}

void DrawBlock(Screen* s, const std::vector<std::string>& lines) {
  std::string out;
  if (s->drawn > 0) out = "\x1b[" + std::to_string(s->drawn) + "A";
  for (const std::string& line : lines) out += "\r\x1b[2K" + line + "\n";
  // A block that grew shorter leaves no line of the old one below it.
  for (size_t i = lines.size(); i < s->drawn; ++i) out += "\r\x1b[2K\n";
  if (s->drawn > lines.size()) out += "\x1b[" + std::to_string(s->drawn - lines.size()) + "A";
  ConsoleWrite(2, out.data(), out.size());
  s->drawn = lines.size();
  s->lastDraw = TickCountMs();
}

void SayAboveBlock(Screen* s, int stream, const std::string& line, const std::vector<std::string>& block) {
  if (s->redraw && (stream == 2 || s->outOnScreen)) ClearBlock(s);
  Say(stream, line);
  if (s->redraw) DrawBlock(s, block);
}
