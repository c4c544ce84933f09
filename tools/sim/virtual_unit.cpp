#include "tools/sim/virtual_unit.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace qb2sim {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A frame whose sender goes silent for this long is given up.
constexpr auto kFrameGap = std::chrono::milliseconds(250);
// 38400 baud, 10 bits a byte (start, 8 data, stop).
constexpr auto kByteTime = std::chrono::nanoseconds(260417);
// A host that stops reading gets this long before the rest of a write is dropped.
constexpr int kWriteStallMs = 1000;
constexpr size_t kMaxLogEntries = 200000;
constexpr size_t kMaxFrameRecords = 100000;

std::string Hex(const std::vector<uint8_t>& b) {
  std::string s;
  s.reserve(b.size() * 3);
  char x[4];
  for (size_t i = 0; i < b.size(); ++i) {
    snprintf(x, sizeof x, i ? " %02X" : "%02X", b[i]);
    s += x;
  }
  return s;
}

std::string Errno(const char* what) { return std::string(what) + ": " + strerror(errno); }

}  // namespace

struct VirtualUnit::ReplyPlan {
  bool noReply = false;
  int corruptAt = -1;  // a flash write's data byte stored wrongly
  int status = -1;
  bool badSum = false;
  int etx = -2;  // -2 untouched, -1 omitted, else replacement
  int cr = -2;
  std::vector<size_t> pieces;
  int gapMs = 0;
  int delayMs = 0;
  std::vector<uint8_t> garbage;
  int garbageGapMs = 0;
  long length = -1;
  bool unplug = false;
  int replugMs = -1;
};

VirtualUnit::VirtualUnit(Options options)
    : options_(std::move(options)), replyDelayMs_(options_.replyDelayMs) {}

VirtualUnit::~VirtualUnit() { Stop(); }

double VirtualUnit::MsSinceStart(SteadyClock::time_point t) const {
  return std::chrono::duration<double, std::milli>(t - start_).count();
}

void VirtualUnit::Changed() {
  ++generation_;
  cv_.notify_all();
}

void VirtualUnit::LogLocked(LogEntry e) {
  // Stamped here, under the lock, so that the log reads in time order.
  e.timeMs = MsSinceStart(SteadyClock::now());
  if (logFile_) {
    const char* tag = e.dir == LogDir::kHostToUnit ? "H>D" : e.dir == LogDir::kUnitToHost ? "D>H" : "EV ";
    fprintf(logFile_, "%11.6f %s %s\n", e.timeMs / 1000.0, tag,
            e.dir == LogDir::kEvent ? e.text.c_str() : Hex(e.bytes).c_str());
    fflush(logFile_);
  }
  if (log_.size() >= kMaxLogEntries) log_.pop_front();
  log_.push_back(std::move(e));
  Changed();
}

void VirtualUnit::LogBytes(LogDir dir, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  LogLocked(LogEntry{0, dir, bytes, {}});
}

void VirtualUnit::LogEvent(const std::string& text) {
  std::lock_guard<std::mutex> lk(mu_);
  LogLocked(LogEntry{0, LogDir::kEvent, {}, text});
}

bool VirtualUnit::OpenPty(std::string* slave) {
  const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m < 0) {
    lastError_ = Errno("posix_openpt");
    return false;
  }
  char name[128];
  termios t;
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0 ||
      tcgetattr(m, &t) != 0) {
    lastError_ = Errno("pty setup");
    close(m);
    return false;
  }
  // Raw, no echo, set from the master: the host may write before it configures
  // its side, and a canonical echoing line discipline would send its request
  // straight back to it and hold bytes until a newline.
  cfmakeraw(&t);
  cfsetispeed(&t, B38400);
  cfsetospeed(&t, B38400);
  t.c_cflag |= CLOCAL | CREAD;
  if (tcsetattr(m, TCSANOW, &t) != 0) {
    lastError_ = Errno("tcsetattr");
    close(m);
    return false;
  }
  // A slave that has never been opened does not hang up the master, so POLLHUP
  // would not tell "nobody has it open" until the host's first close. One open
  // and close here puts the pty into the hung-up state it returns to whenever
  // the host closes it.
  const int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (s < 0) {
    lastError_ = Errno("open slave");
    close(m);
    return false;
  }
  close(s);
  master_ = m;
  *slave = name;
  return true;
}

bool VirtualUnit::PointLink(const std::string& target) {
  if (options_.linkPath.empty()) return true;
  const std::string& link = options_.linkPath;
  struct stat st;
  if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    lastError_ = link + " exists and is not a symbolic link";
    return false;
  }
  // Symlink to a temporary name, then rename over the link: the link is never
  // missing, whoever looks at it in between.
  const std::string tmp = link + ".qb2sim-tmp." + std::to_string(getpid());
  unlink(tmp.c_str());
  if (symlink(target.c_str(), tmp.c_str()) != 0) {
    lastError_ = Errno("symlink");
    return false;
  }
  if (rename(tmp.c_str(), link.c_str()) != 0) {
    lastError_ = Errno("rename link");
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

void VirtualUnit::DangleLink() {
  // The kernel gives a freed pty number to the next opener; a link left on the
  // old name could come back to life on somebody else's terminal. A name that
  // devpts never creates keeps it dangling. A link that no longer leads to this
  // unit (removed, or taken over) is left alone.
  if (options_.linkPath.empty() || slavePath_.empty()) return;
  char target[256];
  const ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
  if (n <= 0 || std::string(target, static_cast<size_t>(n)) != slavePath_) return;
  PointLink(slavePath_ + ".unplugged");
}

bool VirtualUnit::Start() {
  std::unique_lock<std::mutex> lk(mu_);
  if (started_) {
    lastError_ = "already started";
    return false;
  }
  start_ = SteadyClock::now();
  frames_.clear();
  frameCount_ = 0;
  appStops_.clear();
  preStopBytes_ = 0;
  log_.clear();
  openCount_ = closeCount_ = 0;
  hostOpen_ = false;
  for (auto& a : faults_) a.seen = a.applied = 0;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    lastError_ = Errno("eventfd");
    return false;
  }
  const auto fail = [&] {
    if (logFile_) fclose(logFile_);
    logFile_ = nullptr;
    if (master_ >= 0) close(master_);
    close(wakeFd_);
    master_ = wakeFd_ = -1;
    return false;
  };
  if (!options_.logPath.empty()) {
    logFile_ = fopen(options_.logPath.c_str(), "w");
    if (!logFile_) {
      lastError_ = Errno(("open log " + options_.logPath).c_str());
      return fail();
    }
  }
  std::string slave;
  if (!OpenPty(&slave) || !PointLink(slave)) return fail();
  slavePath_ = slave;
  parser_.Reset();
  preStopAt_.reset();
  replugAt_.reset();
  stop_ = false;
  started_ = true;
  LogLocked(LogEntry{0, LogDir::kEvent, {},
                     "start slave=" + slave +
                         (options_.linkPath.empty() ? "" : " link=" + options_.linkPath)});
  for (const auto& a : faults_) LogLocked(LogEntry{0, LogDir::kEvent, {}, "fault armed: " + a.fault.Describe()});
  thread_ = std::thread([this] { ServiceLoop(); });
  return true;
}

void VirtualUnit::Stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (!started_) return;
    started_ = false;
    Changed();
  }
  stop_ = true;
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // The thread also wakes on its own within its poll time-out.
  }
  thread_.join();
  if (master_ >= 0) close(master_);
  close(wakeFd_);
  master_ = wakeFd_ = -1;
  std::lock_guard<std::mutex> lk(mu_);
  // Gone, like an unplugged unit: the link must not lead to a reused pty number.
  DangleLink();
  LogLocked(LogEntry{0, LogDir::kEvent, {}, "stop"});
  if (logFile_) fclose(logFile_);
  logFile_ = nullptr;
  slavePath_.clear();
  hostOpen_ = false;
  doneCommandId_ = nextCommandId_ - 1;
  commands_.clear();
  Changed();
}

uint64_t VirtualUnit::Submit(Command::Kind kind, std::vector<uint8_t> bytes) {
  std::unique_lock<std::mutex> lk(mu_);
  if (!started_) return 0;
  const uint64_t id = nextCommandId_++;
  commands_.push_back(Command{kind, std::move(bytes), id});
  const uint64_t one = 1;
  if (write(wakeFd_, &one, sizeof one) < 0) {
    // Picked up at the next poll time-out instead.
  }
  cv_.wait(lk, [&] { return doneCommandId_ >= id || !started_; });
  return id;
}

void VirtualUnit::Unplug() { Submit(Command::kUnplug); }

bool VirtualUnit::Replug() {
  Submit(Command::kReplug);
  return Plugged();
}

void VirtualUnit::SendRaw(const std::vector<uint8_t>& bytes) { Submit(Command::kSendRaw, bytes); }

void VirtualUnit::RunCommands() {
  for (;;) {
    Command c;
    {
      std::lock_guard<std::mutex> lk(mu_);
      if (commands_.empty()) return;
      c = std::move(commands_.front());
      commands_.pop_front();
    }
    switch (c.kind) {
      case Command::kSendRaw:
        WriteToHost(c.bytes);
        break;
      case Command::kUnplug:
        DoUnplug("requested");
        break;
      case Command::kReplug:
        DoReplug();
        break;
    }
    std::lock_guard<std::mutex> lk(mu_);
    doneCommandId_ = c.id;
    Changed();
  }
}

void VirtualUnit::RunTimers() {
  const auto now = SteadyClock::now();
  if (replugAt_ && now >= *replugAt_) {
    replugAt_.reset();
    DoReplug();
  }
  int replugMs = -1;
  bool unplug = false;
  std::string what;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0) return;
    for (auto& a : faults_) {
      const Fault& f = a.fault;
      if (f.kind != FaultKind::kUnplug || f.atMs < 0) continue;
      if ((f.count >= 0 && a.applied >= f.count) || now - start_ < std::chrono::milliseconds(f.atMs))
        continue;
      ++a.applied;
      unplug = true;
      replugMs = f.replugMs;
      what = f.Describe();
    }
  }
  if (unplug) {
    LogEvent("fault: " + what);
    DoUnplug("fault");
    if (replugMs >= 0) replugAt_ = SteadyClock::now() + std::chrono::milliseconds(replugMs);
  }
}

void VirtualUnit::Wait(int ms) {
  pollfd p{wakeFd_, POLLIN, 0};
  if (poll(&p, 1, ms) > 0 && (p.revents & POLLIN)) {
    uint64_t v;
    if (read(wakeFd_, &v, sizeof v) < 0) {
      // Nothing to drain: another wake-up got there first.
    }
  }
}

void VirtualUnit::Pause(int ms) {
  if (ms <= 0) return;
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return !started_; });
}

void VirtualUnit::ServiceLoop() {
  hungUp_ = true;  // the pty starts with nobody on the slave (see OpenPty)
  while (!stop_) {
    RunCommands();
    RunTimers();
    if (stop_) break;
    int timeout = 100;
    {
      std::lock_guard<std::mutex> lk(mu_);
      for (const auto& a : faults_)
        if (a.fault.kind == FaultKind::kUnplug && a.fault.atMs >= 0 &&
            (a.fault.count < 0 || a.applied < a.fault.count))
          timeout = 5;
    }
    if (replugAt_) timeout = 5;
    if (master_ < 0) {
      Wait(timeout);
      continue;
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    // While hung up the master polls POLLHUP at once, every time.
    poll(fds, 2, hungUp_ ? 0 : timeout);
    if (fds[1].revents & POLLIN) Wait(0);
    const bool hup = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
    if (fds[0].revents & POLLIN) {
      // The host may have opened, written and closed between two looks: its
      // bytes prove an open that POLLHUP alone would have hidden.
      if (hungUp_) {
        SetHostOpen(true);
        hungUp_ = false;
      }
      ReadFromHost();
      if (master_ < 0) continue;  // a fault unplugged the unit meanwhile
    }
    if (hup != hungUp_) {
      SetHostOpen(!hup);
      hungUp_ = hup;
    }
    // A hung-up master cannot be waited on, so look again in about a millisecond.
    if (hungUp_) Wait(1);
  }
}

void VirtualUnit::SetHostOpen(bool open) {
  if (!open) {
    // The host's close drops whatever it left half sent.
    parser_.Reset();
    preStopAt_.reset();
  }
  std::lock_guard<std::mutex> lk(mu_);
  hostOpen_ = open;
  const int n = open ? ++openCount_ : ++closeCount_;
  LogLocked(LogEntry{0, LogDir::kEvent, {},
                     std::string(open ? "host-open " : "host-close ") + std::to_string(n)});
}

void VirtualUnit::ReadFromHost() {
  uint8_t buf[4096];
  while (master_ >= 0) {
    const ssize_t n = read(master_, buf, sizeof buf);
    if (n <= 0) return;  // EAGAIN: all read; EIO: the host closed
    auto t = SteadyClock::now();
    if (options_.paceHost) {
      // A pty delivers the host's write at once; a 38400-baud wire would take a
      // byte time per byte, after whatever it was still carrying.
      hostWireFree_ = std::max(t, hostWireFree_) + kByteTime * n;
      std::this_thread::sleep_until(hostWireFree_);
      t = hostWireFree_;
    }
    LogBytes(LogDir::kHostToUnit, std::vector<uint8_t>(buf, buf + n));
    for (ssize_t i = 0; i < n && master_ >= 0; ++i) HandleByte(buf[i], t);
  }
}

void VirtualUnit::HandleByte(uint8_t b, SteadyClock::time_point t) {
  if (parser_.InFrame() && t - lastRx_ > kFrameGap) {
    ParsedFrame partial = parser_.Abandon();
    HandleFrame(partial, stxTime_);
  }
  lastRx_ = t;
  std::optional<BootMessage> msg;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (model_.InBootLoader()) {
      msg = model_.BootFeed(b, t);
      if (!msg) return;
    }
  }
  if (msg) {
    HandleBootMessage(*msg);
    return;
  }
  const bool wasInFrame = parser_.InFrame();
  switch (parser_.Feed(b)) {
    case FrameParser::Event::kNone:
      if (!wasInFrame) stxTime_ = t;
      break;
    case FrameParser::Event::kOutside:
      if (b == kPreStopByte) {
        preStopAt_ = t;
        std::lock_guard<std::mutex> lk(mu_);
        ++preStopBytes_;
        LogLocked(LogEntry{0, LogDir::kEvent, {}, "pre-stop byte"});
      }
      break;
    case FrameParser::Event::kFrame:
      HandleFrame(parser_.Frame(), wasInFrame ? stxTime_ : t);
      break;
  }
}

bool VirtualUnit::MatchFault(ActiveFault& a, uint8_t code, int sub, size_t index) {
  const Fault& f = a.fault;
  if ((f.cmd >= 0 && f.cmd != code) || (f.sub >= 0 && f.sub != sub) ||
      (f.frame > 0 && static_cast<size_t>(f.frame) != index))
    return false;
  ++a.seen;
  if (f.nth > 0 && a.seen != f.nth) return false;
  if (f.count >= 0 && a.applied >= f.count) return false;
  ++a.applied;
  return true;
}

void VirtualUnit::HandleFrame(const ParsedFrame& f, SteadyClock::time_point stxTime) {
  FrameRecord r;
  r.timeMs = MsSinceStart(stxTime);
  r.code = f.code;
  r.payload = f.payload;
  r.checksumOk = f.sumOk;
  r.etxOk = f.etxOk;
  r.crOk = f.crOk;
  r.complete = f.complete;
  r.oversize = f.oversize;
  const int sub = f.code == kCmdMemory && !f.payload.empty() ? f.payload[0] : -1;
  ReplyPlan plan;
  UnitModel::Reply reply;
  std::vector<std::string> applied;
  bool enteredBoot = false;
  {
    std::lock_guard<std::mutex> lk(mu_);
    r.index = ++frameCount_;
    for (auto& a : faults_) {
      const Fault& ft = a.fault;
      if (ft.IsBoot() || (ft.kind == FaultKind::kUnplug && ft.atMs >= 0)) continue;
      // Only unplugging counts bad frames; the rest bend replies, which bad frames never get.
      if (!f.Good() && ft.kind != FaultKind::kUnplug) continue;
      if (!MatchFault(a, f.code, sub, r.index)) continue;
      applied.push_back(ft.Describe());
      switch (ft.kind) {
        case FaultKind::kNoReply: plan.noReply = true; break;
        case FaultKind::kStatus: plan.status = ft.value; break;
        case FaultKind::kBadChecksum: plan.badSum = true; break;
        case FaultKind::kNoEtx: plan.etx = ft.value; break;
        case FaultKind::kNoCr: plan.cr = ft.value; break;
        case FaultKind::kSplit: plan.pieces = ft.pieces; plan.gapMs = ft.gapMs; break;
        case FaultKind::kDelay: plan.delayMs += ft.delayMs; break;
        case FaultKind::kGarbage:
          plan.garbage.insert(plan.garbage.end(), ft.garbage.begin(), ft.garbage.end());
          plan.garbageGapMs = ft.gapMs;
          break;
        case FaultKind::kOversize: plan.length = ft.length; break;
        case FaultKind::kUnplug: plan.unplug = true; plan.replugMs = ft.replugMs; break;
        case FaultKind::kCorruptWrite: plan.corruptAt = ft.value < 0 ? 0 : ft.value; break;
        default: break;
      }
    }
    if (f.Good()) {
      if (plan.status >= 0) {
        reply.status = static_cast<uint8_t>(plan.status);  // refused: not carried out
      } else {
        const bool wasBoot = model_.InBootLoader();
        reply = model_.Execute(f.code, f.payload, SteadyClock::now());
        enteredBoot = !wasBoot && model_.InBootLoader();
        if (plan.corruptAt >= 0 && sub == kMemFlashWrite && reply.status == kStatusOk &&
            static_cast<size_t>(plan.corruptAt) + 4 < f.payload.size()) {
          const uint32_t at = (f.payload[1] | f.payload[2] << 8 | f.payload[3] << 16) + plan.corruptAt;
          model_.SetFlash(at, {static_cast<uint8_t>(model_.Flash()[at] ^ 0x01)});
        }
      }
      if (f.code == kCmdAppStop) {
        AppStopRecord s;
        s.frameIndex = r.index;
        s.preStop = preStopAt_.has_value();
        if (preStopAt_) s.msBefore = std::chrono::duration<double, std::milli>(stxTime - *preStopAt_).count();
        appStops_.push_back(s);
      }
      r.replyStatus = plan.noReply ? -1 : reply.status;
    }
    if (frames_.size() >= kMaxFrameRecords) frames_.erase(frames_.begin());
    frames_.push_back(r);
    char what[96];
    snprintf(what, sizeof what, "frame %zu code=0x%02X len=%zu%s", r.index, r.code, r.payload.size(),
             !f.complete ? (f.oversize ? " OVERSIZE-HEADER" : " INCOMPLETE")
             : !f.Good() ? (f.etxOk ? (f.sumOk ? " BAD-CR" : " BAD-SUM") : " BAD-ETX")
                         : "");
    LogLocked(LogEntry{0, LogDir::kEvent, {}, what});
    for (const auto& s : applied) LogLocked(LogEntry{0, LogDir::kEvent, {}, "fault: " + s});
    Changed();
  }
  preStopAt_.reset();

  if (f.Good() && !plan.noReply) {
    std::vector<uint8_t> bytes = EncodeFrame(reply.status, reply.payload, plan.length);
    if (plan.badSum) bytes[bytes.size() - 2] ^= 0xFF;
    // CR first: dropping it does not move ETX.
    if (plan.cr == -1) bytes.pop_back();
    else if (plan.cr >= 0) bytes.back() = static_cast<uint8_t>(plan.cr);
    const size_t etxAt = 4 + reply.payload.size();
    if (plan.etx == -1) bytes.erase(bytes.begin() + static_cast<long>(etxAt));
    else if (plan.etx >= 0) bytes[etxAt] = static_cast<uint8_t>(plan.etx);

    const int delay = replyDelayMs_ + plan.delayMs;
    Pause(delay);
    if (!plan.garbage.empty()) {
      WriteToHost(plan.garbage);
      Pause(plan.garbageGapMs);
    }
    if (plan.pieces.empty()) {
      WriteToHost(bytes);
    } else {
      size_t at = 0;
      for (size_t i = 0; i <= plan.pieces.size() && at < bytes.size(); ++i) {
        const size_t n = i < plan.pieces.size() ? std::min(plan.pieces[i], bytes.size() - at)
                                                : bytes.size() - at;
        if (at > 0) Pause(plan.gapMs);
        WriteToHost(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                         bytes.begin() + static_cast<long>(at + n)));
        at += n;
      }
    }
  }
  if (enteredBoot) LogEvent("boot-loader entered");
  if (plan.unplug) {
    if (f.Good() && !plan.noReply) AwaitHostRead();
    DoUnplug("fault");
    if (plan.replugMs >= 0) replugAt_ = SteadyClock::now() + std::chrono::milliseconds(plan.replugMs);
  }
}

void VirtualUnit::HandleBootMessage(const BootMessage& m) {
  BootOverride o;
  bool noReply = false;
  BootResult res;
  {
    std::lock_guard<std::mutex> lk(mu_);
    const bool answered = m.step != BootStep::kAny && m.step != BootStep::kFinish;
    for (auto& a : faults_) {
      const Fault& f = a.fault;
      if (!f.IsBoot() || !answered || (f.step != BootStep::kAny && f.step != m.step)) continue;
      if (f.kind == FaultKind::kBootBadSum && m.step != BootStep::kAddress && m.step != BootStep::kData)
        continue;
      ++a.seen;
      if ((f.nth > 0 && a.seen != f.nth) || (f.count >= 0 && a.applied >= f.count)) continue;
      ++a.applied;
      if (f.kind == FaultKind::kBootNoReply) noReply = true;
      if (f.kind == FaultKind::kBootBadSum) o.refuse = true;
      if (f.kind == FaultKind::kBootWReply) o.writeReply = f.value;
      LogLocked(LogEntry{0, LogDir::kEvent, {}, "fault: " + f.Describe()});
    }
    res = model_.BootExecute(m, o);
    std::string what = std::string("boot ") + BootStepName(m.step);
    if (m.step == BootStep::kErase || m.step == BootStep::kAddress || m.step == BootStep::kAny)
      what += " " + Hex(m.bytes);
    if (res.reply) {
      char x[24];
      snprintf(x, sizeof x, " -> %02X%s", res.value, noReply ? " (not sent)" : "");
      what += x;
    }
    LogLocked(LogEntry{0, LogDir::kEvent, {}, what});
    if (res.left) LogLocked(LogEntry{0, LogDir::kEvent, {}, "boot-loader left"});
    Changed();
  }
  if (res.left) parser_.Reset();
  if (res.reply && !noReply) {
    Pause(replyDelayMs_);
    WriteToHost({res.value});
  }
}

void VirtualUnit::WriteToHost(const std::vector<uint8_t>& bytes) {
  if (bytes.empty()) return;
  if (master_ < 0) {
    LogEvent("unplugged: " + std::to_string(bytes.size()) + " byte(s) not sent");
    return;
  }
  // Bytes written while nobody has the port open would wait in the slave's queue
  // and greet the next opener; a device talking to a closed port is not heard.
  pollfd p{master_, POLLOUT, 0};
  if (poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP)) {
    LogEvent("host has the port closed: " + std::to_string(bytes.size()) + " byte(s) dropped");
    return;
  }
  LogBytes(LogDir::kUnitToHost, bytes);
  const size_t chunk = options_.pace ? 1 : bytes.size();
  auto next = SteadyClock::now();
  size_t at = 0;
  while (at < bytes.size()) {
    if (options_.pace) {
      std::this_thread::sleep_until(next);
      next += kByteTime;
    }
    const ssize_t n = write(master_, bytes.data() + at, std::min(chunk, bytes.size() - at));
    if (n > 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    pollfd w{master_, POLLOUT, 0};
    if (n < 0 && errno == EAGAIN && poll(&w, 1, kWriteStallMs) > 0 && (w.revents & POLLOUT)) continue;
    LogEvent("host not reading: " + std::to_string(bytes.size() - at) + " byte(s) dropped");
    return;
  }
}

void VirtualUnit::AwaitHostRead() {
  // Closing the master hangs up the slave and throws away what the host has not
  // read yet. "Unplug after this reply" means the host gets the reply, so wait
  // (a second at most) until it has taken it. Only the master shows nothing of
  // the slave's queue: look through a short-lived slave descriptor; the unit is
  // about to go, so nobody mistakes this for a host open.
  const int s = open(SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s < 0) {
    Pause(100);
    return;
  }
  const auto end = SteadyClock::now() + std::chrono::seconds(1);
  int queued = 0;
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (ioctl(s, FIONREAD, &queued) != 0) break;
  } while (queued > 0 && SteadyClock::now() < end && !stop_);
  close(s);
}

void VirtualUnit::DoUnplug(const char* why) {
  if (master_ < 0) return;
  close(master_);
  master_ = -1;
  hungUp_ = true;
  parser_.Reset();
  preStopAt_.reset();
  std::lock_guard<std::mutex> lk(mu_);
  DangleLink();
  LogLocked(LogEntry{0, LogDir::kEvent, {},
                     std::string("unplug (") + why + ") " + slavePath_});
  slavePath_.clear();
  hostOpen_ = false;
  model_.PowerCycle();
  Changed();
}

bool VirtualUnit::DoReplug() {
  DoUnplug("replug");
  std::lock_guard<std::mutex> lk(mu_);
  std::string slave;
  if (!OpenPty(&slave)) {
    LogLocked(LogEntry{0, LogDir::kEvent, {}, "replug failed: " + lastError_});
    return false;
  }
  if (!PointLink(slave))
    LogLocked(LogEntry{0, LogDir::kEvent, {}, "link: " + lastError_});
  slavePath_ = slave;
  LogLocked(LogEntry{0, LogDir::kEvent, {}, "replug slave=" + slave});
  Changed();
  return true;
}

void VirtualUnit::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> lk(mu_);
  faults_.push_back(ActiveFault{fault, 0, 0});
  if (started_) LogLocked(LogEntry{0, LogDir::kEvent, {}, "fault armed: " + fault.Describe()});
}

void VirtualUnit::ClearFaults() {
  std::lock_guard<std::mutex> lk(mu_);
  faults_.clear();
}

std::string VirtualUnit::SlavePath() const {
  std::lock_guard<std::mutex> lk(mu_);
  return slavePath_;
}

bool VirtualUnit::Plugged() const { return !SlavePath().empty(); }

std::string VirtualUnit::LastError() const {
  std::lock_guard<std::mutex> lk(mu_);
  return lastError_;
}

int VirtualUnit::OpenCount() const {
  std::lock_guard<std::mutex> lk(mu_);
  return openCount_;
}

int VirtualUnit::CloseCount() const {
  std::lock_guard<std::mutex> lk(mu_);
  return closeCount_;
}

bool VirtualUnit::HostHasOpen() const {
  std::lock_guard<std::mutex> lk(mu_);
  return hostOpen_;
}

std::vector<uint8_t> VirtualUnit::Flash() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.Flash();
}

bool VirtualUnit::SetFlash(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.SetFlash(offset, bytes);
}

std::vector<uint8_t> VirtualUnit::ProgramMemory() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.Program();
}

bool VirtualUnit::SetProgramMemory(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.SetProgram(offset, bytes);
}

bool VirtualUnit::SetClock(int dayNumber, int hour, int minute, int second) {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.SetClock(dayNumber, hour, minute, second, SteadyClock::now());
}

ClockTime VirtualUnit::ClockNow() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.ClockAt(SteadyClock::now());
}

bool VirtualUnit::AppRunning() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.AppRunning();
}

bool VirtualUnit::InBootLoader() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.InBootLoader();
}

std::vector<AppStopRecord> VirtualUnit::AppStops() const {
  std::lock_guard<std::mutex> lk(mu_);
  return appStops_;
}

int VirtualUnit::PreStopBytes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return preStopBytes_;
}

std::optional<SetRangeRecord> VirtualUnit::LastSetRange() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.LastSetRange();
}

std::optional<std::vector<uint8_t>> VirtualUnit::LastLedPattern() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.LastLedPattern();
}

std::vector<uint8_t> VirtualUnit::ErasedBlocks() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.ErasedBlocks();
}

std::vector<uint16_t> VirtualUnit::WrittenPages() const {
  std::lock_guard<std::mutex> lk(mu_);
  return model_.WrittenPages();
}

std::vector<FrameRecord> VirtualUnit::Frames() const {
  std::lock_guard<std::mutex> lk(mu_);
  return frames_;
}

size_t VirtualUnit::FrameCount() const {
  std::lock_guard<std::mutex> lk(mu_);
  return frameCount_;
}

std::vector<LogEntry> VirtualUnit::Log() const {
  std::lock_guard<std::mutex> lk(mu_);
  return std::vector<LogEntry>(log_.begin(), log_.end());
}

bool VirtualUnit::WaitFor(const std::function<bool()>& pred, int timeoutMs) const {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    uint64_t gen;
    {
      std::lock_guard<std::mutex> lk(mu_);
      gen = generation_;
    }
    if (pred()) return true;
    std::unique_lock<std::mutex> lk(mu_);
    const auto now = SteadyClock::now();
    if (now >= deadline) {
      lk.unlock();
      return pred();
    }
    cv_.wait_until(lk, std::min(deadline, now + std::chrono::milliseconds(20)),
                   [&] { return generation_ != gen; });
  }
}

bool VirtualUnit::WaitForFrames(size_t n, int timeoutMs) const {
  return WaitFor([&] { return FrameCount() >= n; }, timeoutMs);
}

bool VirtualUnit::WaitForHostOpen(bool open, int timeoutMs) const {
  return WaitFor([&] { return HostHasOpen() == open; }, timeoutMs);
}

}  // namespace qb2sim
