// The virtual unit: a pseudo-terminal whose master side plays the device.
//
// The host opens the slave (directly, or through the symbolic link
// Options::linkPath, e.g. a Wine dosdevices COM entry). One service thread owns
// the master: it reads the host's bytes, answers frames and boot-loader bytes,
// commits the faults it was given and records everything for the tests.
//
// The unit never keeps the slave open itself: that is how it sees the host's
// opens and closes (the master polls POLLHUP while nobody has the slave open),
// and why closing the master is a real unplug for the host.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/fault.h"
#include "tools/sim/frame_codec.h"
#include "tools/sim/unit_model.h"

namespace qb2sim {

struct Options {
  std::string linkPath;   // made a symbolic link to the slave; empty: none
  std::string logPath;    // byte and event log; empty: none
  bool pace = false;      // bytes to the host at 38400 baud, one at a time
  bool paceHost = false;  // the host's bytes handled no sooner than 38400 baud delivers them
  int replyDelayMs = 0;   // processing time before every reply
};

// One request frame as received (good or bad).
struct FrameRecord {
  size_t index = 0;      // 1-based, every frame since Start
  double timeMs = 0;     // arrival of its STX, ms since Start
  uint8_t code = 0;
  std::vector<uint8_t> payload;
  bool checksumOk = false;
  bool etxOk = false;
  bool crOk = false;
  bool complete = false;  // false: the host went silent mid-frame, or oversize header
  bool oversize = false;
  int replyStatus = -1;   // status sent back; -1 when not answered
  bool Good() const { return complete && checksumOk && etxOk && crOk; }
};

// One CMD_APP_STOP, with the pre-stop byte that came before it.
struct AppStopRecord {
  size_t frameIndex = 0;
  bool preStop = false;     // a 0x5C arrived outside a frame since the previous frame
  double msBefore = -1;     // from that byte to the STX of the stop request
};

enum class LogDir { kHostToUnit, kUnitToHost, kEvent };

struct LogEntry {
  double timeMs = 0;  // since Start
  LogDir dir = LogDir::kEvent;
  std::vector<uint8_t> bytes;
  std::string text;   // events only
};

class VirtualUnit {
 public:
  explicit VirtualUnit(Options options);
  ~VirtualUnit();
  VirtualUnit(const VirtualUnit&) = delete;
  VirtualUnit& operator=(const VirtualUnit&) = delete;

  // Creates the pty and the link and starts the service thread. False (with
  // LastError()) when the pty or the link cannot be made, or already started.
  bool Start();
  void Stop();
  // Closes the master: the host's reads end (0 or EIO), its writes fail. The
  // link is re-pointed to a path that cannot exist, so it dangles even when the
  // kernel hands the pty number to someone else.
  void Unplug();
  // Power-cycles the unit onto a new pty and re-points the link.
  bool Replug();
  std::string SlavePath() const;  // empty while unplugged
  bool Plugged() const;
  std::string LastError() const;

  void SendRaw(const std::vector<uint8_t>& bytes);
  void AddFault(const Fault& fault);
  void ClearFaults();
  void SetReplyDelay(int ms) { replyDelayMs_ = ms; }

  // Host side of the pty.
  int OpenCount() const;
  int CloseCount() const;
  bool HostHasOpen() const;

  // Unit state (snapshots).
  std::vector<uint8_t> Flash() const;
  bool SetFlash(uint32_t offset, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> ProgramMemory() const;
  bool SetProgramMemory(uint32_t offset, const std::vector<uint8_t>& bytes);
  bool SetClock(int dayNumber, int hour, int minute, int second);
  ClockTime ClockNow() const;
  bool AppRunning() const;
  bool InBootLoader() const;
  std::vector<AppStopRecord> AppStops() const;
  int PreStopBytes() const;
  std::optional<SetRangeRecord> LastSetRange() const;
  std::optional<std::vector<uint8_t>> LastLedPattern() const;
  std::vector<uint8_t> ErasedBlocks() const;   // block codes, in order
  std::vector<uint16_t> WrittenPages() const;  // boot-loader page addresses, in order
  std::vector<FrameRecord> Frames() const;
  size_t FrameCount() const;
  std::vector<LogEntry> Log() const;

  // Waits until pred() holds (re-checked on every state change, and at least
  // every 20 ms). pred runs without the unit's lock and may call its getters.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs) const;
  bool WaitForFrames(size_t n, int timeoutMs) const;
  bool WaitForHostOpen(bool open, int timeoutMs) const;

 private:
  using SteadyClock = std::chrono::steady_clock;
  struct ActiveFault {
    Fault fault;
    int seen = 0;
    int applied = 0;
  };
  struct Command {
    enum Kind { kSendRaw, kUnplug, kReplug } kind;
    std::vector<uint8_t> bytes;
    uint64_t id;
  };
  struct ReplyPlan;

  bool OpenPty(std::string* slave);
  bool PointLink(const std::string& target);
  void DangleLink();  // under mu_
  void ServiceLoop();
  void RunCommands();
  void RunTimers();
  void Wait(int ms);
  void Pause(int ms);  // returns early on Stop()
  void ReadFromHost();
  void SetHostOpen(bool open);
  void HandleByte(uint8_t b, SteadyClock::time_point t);
  void HandleFrame(const ParsedFrame& f, SteadyClock::time_point stxTime);
  void HandleBootMessage(const BootMessage& m);
  bool MatchFault(ActiveFault& a, uint8_t code, int sub, size_t index);
  void WriteToHost(const std::vector<uint8_t>& bytes);
  void AwaitHostRead();
  void DoUnplug(const char* why);
  bool DoReplug();
  void Changed();  // under mu_
  void LogBytes(LogDir dir, const std::vector<uint8_t>& bytes);
  void LogEvent(const std::string& text);
  void LogLocked(LogEntry e);
  double MsSinceStart(SteadyClock::time_point t) const;
  uint64_t Submit(Command::Kind kind, std::vector<uint8_t> bytes = {});

  const Options options_;
  std::atomic<int> replyDelayMs_;

  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  uint64_t generation_ = 0;
  UnitModel model_;
  std::vector<ActiveFault> faults_;
  std::vector<FrameRecord> frames_;
  size_t frameCount_ = 0;
  std::vector<AppStopRecord> appStops_;
  int preStopBytes_ = 0;
  std::deque<LogEntry> log_;
  FILE* logFile_ = nullptr;
  std::string slavePath_;
  std::string lastError_;
  int openCount_ = 0;
  int closeCount_ = 0;
  bool hostOpen_ = false;
  bool started_ = false;
  std::deque<Command> commands_;
  uint64_t nextCommandId_ = 1;
  uint64_t doneCommandId_ = 0;

  // Service thread only (set up before it starts).
  int master_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  SteadyClock::time_point start_;
  FrameParser parser_;
  bool hungUp_ = true;
  SteadyClock::time_point lastRx_;
  SteadyClock::time_point hostWireFree_;  // paceHost: when the last host byte "arrived"
  SteadyClock::time_point stxTime_;
  std::optional<SteadyClock::time_point> preStopAt_;
  std::optional<SteadyClock::time_point> replugAt_;
};

}  // namespace qb2sim
