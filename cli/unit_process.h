// One unit's own process, as a parent of several starts it (a gang, cli/gang.cpp;
// the factory mode, cli/factory.cpp): the child is the single-unit QB2CLI of
// cli/unit.cpp with its own process-wide link, job record and outlets, so a unit's
// fault, however bad, cannot reach its neighbours.
//
// A child (--child) writes "H <line for a person>", "J <JSON object>" and "R <its
// result in words>" on stdout when it ends, and on stderr "P <done> <total> <sentence>" for its progress, "E
// <text>" for what goes wrong and "T <line>" for a trace line; it stops when its
// standard input ends or says "stop".
//
// Also here: what such a parent shows on a terminal, a block of lines on stderr
// drawn again in place with the result lines above it, and when a unit's job is
// run again (--retries).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.h"
#include "platform/process.h"
#include "platform/systhread.h"

// One unit's process, one attempt at a time. Everything but human and json is the
// parent's main thread's: set before StartUnitProcess, read by the reader threads
// only through the callbacks (which get index). human, json and reason are written
// by the stdout reader and read by the main thread once EndOfUnitProcess has joined it.
struct UnitProcess {
  int index = 0;              // which unit of its parent this is (the callbacks' key)
  std::string port;           // as the child names it in its lines
  std::string serial;         // the number given to it ("": none)
  int slot = 0, attempt = 1;  // its slot (0: none) and which run of its job
  uint32_t startMs = 0;       // when this attempt began
  LocalTimeFields started{};  // the same, as the run log stamps lines
  ChildProcess child = nullptr;
  PipeHandle in = nullptr, out = nullptr, err = nullptr;
  std::string human, json;    // its result lines
  std::string reason;         // its result in words ("OK" when done)
  // Set by the stdout reader once the three lines are in (the child has closed its
  // port by then); human, json and reason may then be read before the join.
  std::atomic<bool> said{false};
  std::atomic<bool> ended{false};  // its process has ended (set by the main thread; the readers look)
  std::thread outReader, errReader;
};

// What a child says while it runs, called on its reader threads (both may call at
// once, for the same unit too): its progress sentence (ended: the last step), and
// an error or trace line. Either may be empty.
struct UnitProcessSink {
  std::function<void(int index, const std::string& sentence, bool ended)> progress;
  std::function<void(int index, const std::string& text)> error;
};

// Starts u's attempt: a child of this program with the parent's arguments, but its
// own port, serial number (when numbered), attempt and slot. u->port, serial,
// slot and attempt are set; its lines are cleared and its start stamped. False,
// with nothing to close, when the process cannot be started.
bool StartUnitProcess(UnitProcess* u, const std::vector<std::string>& args, bool numbered, int32_t number,
                      const UnitProcessSink& sink);
// Whether u's child has ended (never waits): then its readers are joined, its
// handles closed, and *exitValue is the unit's exit value. A child that ended
// without its result lines (killed, crashed) leaves its unit in a state nobody
// knows: EndForUnit gives its lines and log line, EXIT_NO_RESULT.
bool EndOfUnitProcess(UnitProcess* u, const CliOptions& o, const std::string& logPath, int* exitValue);
// Whether u's child has said its result (u->said), and then its exit value, as its
// JSON line gives it: a unit's result is known before its process has ended.
bool UnitProcessSaid(const UnitProcess& u, int* exitValue);
// Asks u's child, if it runs, to stop between two requests.
void StopUnitProcess(UnitProcess* u);
// Whether u has a child that has not ended.
inline bool UnitProcessRuns(const UnitProcess& u) { return u.child != nullptr; }

// A unit whose own process did not say how it ended, or never ran: its lines, as a
// child's would be, and its run log line, written by the parent so that the unit
// is in the record all the same. A child that logged its line and was then killed
// before it could say so is not logged twice, and its lines say what it logged.
// The exit value for the unit.
int EndForUnit(const CliOptions& o, UnitProcess& u, const std::string& logPath, int exitValue, const std::string& why);

// --- running a unit's job again (--retries) --------------------------------------

// How long a port that went during a job may take to come back for the job to be
// run again.
const uint32_t kPortBackMs = 5000;
enum NextAttempt {
  ATTEMPT_FINAL,           // the unit's result stands
  ATTEMPT_AGAIN,           // run its job again now
  ATTEMPT_WHEN_PORT_BACK,  // again once its port is back, within kPortBackMs
};
// What follows an attempt that ended with exitValue. Only the faults that a second
// try can mend are tried again: no answer in time (5; the unit's USB serial came up
// late) and the port lost (4). A refusal, a verify difference, a file fault, a
// serial number fault or a stop never: the same unit would do the same again, or
// the operator asked to end.
int AfterAttempt(int exitValue, int attempt, int retries, bool stopAsked);
// What a person is told of an attempt that is run again: its line, and when the
// next one starts ("<line>: run again").
std::string AgainText(const std::string& line, int next);

// What a parent of several units checks once, before it takes a number or starts a
// process: its console outlets installed, then the command's files and run log
// (PrepareCommand), then the line's record (CheckLineRecord). EXIT_DONE, or the
// exit value with the reason in *why.
int PrepareUnitsCommand(const CliOptions& o, JobParamsRecord* checked, std::string* why, bool* takesSerial);

// --- a block of lines on a terminal -------------------------------------------------

const uint32_t kRedrawIntervalMs = 200;  // the block drawn again at most five times a second
const uint32_t kLookIntervalMs = 200;    // the ports present (a lost one, a new unit) looked at as often

// One writer at a time on the console, so lines of different units never mix within
// a line. lock is held by whoever writes; everything else is read and written
// under it.
struct Screen {
  std::mutex lock;
  bool redraw = false;       // a block of lines on stderr, drawn in place
  bool outOnScreen = false;  // stdout is the same terminal: results go above the block
  size_t drawn = 0;          // lines of the block on the screen now
  uint32_t lastDraw = 0;
};
// Sets redraw and outOnScreen from the streams (none with quiet).
void SetUpScreen(Screen* s, bool quiet);
// With the lock held: the block taken off the screen.
void ClearBlock(Screen* s);
// With the lock held: the block drawn again as lines (each without its end).
void DrawBlock(Screen* s, const std::vector<std::string>& lines);
// With the lock held: a line on stream, above the block when the block is there.
void SayAboveBlock(Screen* s, int stream, const std::string& line, const std::vector<std::string>& block);

// Splits what a pipe brings into lines (CR LF or LF), to its end, or until ended
// says the child has gone and the pipe stays quiet: a process the child left
// behind may hold its end open, and the parent must not wait on it for ever.
void ReadPipeLines(PipeHandle pipe, const std::atomic<bool>& ended,
                   const std::function<void(const std::string&)>& onLine);
// The run log's time stamp, "2026-12-09 15:06:12.187".

