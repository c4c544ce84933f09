// qb2soak: runs production runs for a given time against virtual units, all in one
// station folder (one QB2BENCH.INI, one run log, one image), with faults in the
// units and stops and kills of the programs, then holds every unit's stamp against
// the run log (and the JSON lines) and prints what it found. A program that prints
// figures, not a test: its exit value says whether a figure that must be 0 was not.
//
// Every unit is a fresh virtual unit, made for its run and dropped once the program
// that drove it (and every process of its group) has ended: its flash starts blank,
// so a stamp found there can only come from that run, and a process that outlives
// its program cannot write into the next run's unit. Units live in this process
// (qb2sim_lib), so their flash is read directly.
//
// Linux only: the programs run in process groups of their own, and this process is
// their subreaper, so a gang child whose parent was killed is still waited for.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/virtual_unit.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const char kIni[] = "QB2BENCH.INI";
const char kLog[] = "run.csv";
const char kImage[] = "Quillbeacon2FlashData.dat";
const char kLogHeader[] =
    "time,program,port,operation,serial,file,bytes,crc32,result,ms,station,version,image_crc32,attempt,slot,id";
const uint32_t kStampAt = 0xE004;
// A produce run's frames: app stop, pattern, range, pattern, clock set and read, two
// erases, the image's seven pages, resume; a read-back adds one read a page.
const int kRunFrames = 16, kVerifyFrames = 23;
// No produce run against an unpaced unit comes near this, whatever its fault.
const int kHungMs = 90000;
// Wine's COM ports for the units, each link made in the prefix by this tool; used
// least recently first, so a port comes round again only after many other units.
const int kFirstCom = 21, kLastCom = 120;

struct Settings {
  double seconds = 60;
  uint64_t seed = 0;
  bool seedGiven = false;
  std::string folder;
  bool keep = false;
  std::string cli = QB2_SOAK_CLI;
  std::string wineExe, winePrefix;
  std::string shim = QB2_SOAK_SHIM;
  double wineShare = 0.5;
  bool json = false;
  int maxPrograms = 3;
  int maxGang = 8;
  long long first = 1;
  bool blankStampPage = false;  // an image with no place for the number
};

enum KillKind { KILL_NONE, INT_PROGRAM, INT_GROUP, KILL_PROGRAM, KILL_CHILD, INT_CHILD };
const char* const kKillNames[] = {"", "SIGINT to the program", "SIGINT to its group (Ctrl+C)",
                                  "SIGKILL of the program", "SIGKILL of a gang child", "SIGINT to a gang child"};

struct Unit {
  int id = 0, program = 0;
  std::string link;   // the pty's link
  std::string port;   // as the program is given it and names it in its lines
  int com = 0;        // Wine: its COM number
  std::string fault;  // in qb2sim's grammar; empty: none
  std::unique_ptr<qb2sim::VirtualUnit> sim;
  long long startMs = 0, endMs = 0;  // wall clock, ms since the epoch
  bool killed = false;               // its own process got SIGKILL
  bool opened = false;               // the program opened its port
  // The stamp at 0xE004 once its program has ended: none (erased), a number, or
  // bytes that are no packed BCD.
  enum { NONE, NUMBER, GARBLED } stamp = NONE;
  long long number = -1;
  std::string stampHex;
  std::vector<int> logLines, jsonLines;
  bool saidNoResult = false;  // its gang parent said it ended without a result
};

struct Program {
  int id = 0;
  bool wine = false, verify = false;
  std::vector<int> units;
  pid_t pid = -1;
  bool leaderDone = false;
  int status = 0;
  KillKind kill = KILL_NONE;
  int killAtMs = 0;
  int childPick = 0;  // which of the gang's running children, drawn when it starts
  bool killDone = false;
  bool programKilled = false;  // the SIGKILL of the program itself was delivered
  std::string killNote;
  std::string hangNote;  // its processes when it was found hung
  Clock::time_point started;
  bool hung = false;
  std::string out, err;  // its stdout and stderr files
};

struct LogLine {
  int number = 0;  // line number in the file
  std::string text;
  std::vector<std::string> fields;
  bool good = false;
  long long timeMs = 0;
  int unit = -1;
};

struct JsonLine {
  int program = 0;
  std::string port, serial, result, exit;
  int unit = -1;
};

std::mt19937_64 Random;
int Pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(Random); }
bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(Random) < p; }

std::atomic<bool> Interrupted{false};
void OnInterrupt(int) { Interrupted = true; }

long long WallMs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

int MsSince(Clock::time_point t) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A whole file; read with read(2), which lets a /proc file of a process that ends
// meanwhile fail quietly (a stream's buffer throws there).
std::string ReadWhole(const std::string& path, bool* ok = nullptr) {
  std::string text;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (ok) *ok = fd >= 0;
  if (fd < 0) return text;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      if (ok) *ok = false;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(text.data(), static_cast<std::streamsize>(text.size()));
  return static_cast<bool>(f);
}

std::string Serial8(long long n) {
  char text[24];
  std::snprintf(text, sizeof text, "%08lld", n);
  return text;
}

// --- the counter in QB2BENCH.INI, watched while the soak runs ------------------

// SerialNumber's value as the file holds it; false when the file holds none.
bool IniCounter(const std::string& text, long long* value) {
  size_t at = 0;
  while ((at = text.find("SerialNumber", at)) != std::string::npos) {
    if (at > 0 && text[at - 1] != '\n') {
      at += 12;
      continue;
    }
    size_t p = at + 12;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    if (p >= text.size() || text[p] != '=') return false;
    ++p;
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) ++p;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str() + p, &end, 10);
    if (end == text.c_str() + p) return false;
    *value = v;
    return true;
  }
  return false;
}

// Reads the counter every few milliseconds: the claims replace the file whole, so
// every read sees one value, and a value below the one read before is a reset.
struct IniWatch {
  std::string path;
  std::atomic<bool> stop{false};
  std::mutex lock;
  long long reads = 0, unreadable = 0, highest = -1, last = -1;
  std::vector<std::string> backwards;
  std::thread thread;

  void Look() {
    bool ok = false;
    std::string text = ReadWhole(path, &ok);
    long long value = 0;
    std::lock_guard<std::mutex> hold(lock);
    ++reads;
    if (!ok || !IniCounter(text, &value)) {
      ++unreadable;
      return;
    }
    if (value < last) backwards.push_back(Serial8(last) + " -> " + Serial8(value));
    last = value;
    highest = std::max(highest, value);
  }
  void Start() {
    thread = std::thread([this] {
      while (!stop) {
        Look();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  void Stop() {
    stop = true;
    thread.join();
    Look();
  }
};

// --- processes -----------------------------------------------------------------

// Starts argv in a process group of its own, in folder, with its standard streams
// on files; -1 when it cannot be started.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& folder,
            const std::string& out, const std::string& err) {
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, s);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The live processes of group pgid: pid and command line (its NUL-separated
// arguments joined by spaces; Wine shows the Windows command line there).
std::vector<std::pair<pid_t, std::string>> GroupProcesses(pid_t pgid) {
  std::vector<std::pair<pid_t, std::string>> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string stat = ReadWhole("/proc/" + std::string(e->d_name) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0, group = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &group) != 3) continue;
    if (group != pgid || state == 'Z') continue;
    std::string cmd = ReadWhole("/proc/" + std::string(e->d_name) + "/cmdline");
    std::replace(cmd.begin(), cmd.end(), '\0', ' ');
    found.push_back({static_cast<pid_t>(pid), cmd});
  }
  closedir(proc);
  return found;
}

// The word after "--port" in a command line.
std::string PortOf(const std::string& cmd) {
  std::istringstream words(cmd);
  std::string w;
  while (words >> w)
    if (w == "--port" && (words >> w)) return w;
  return std::string();
}

// --- the run log ---------------------------------------------------------------

std::vector<std::string> CsvFields(const std::string& line, bool* ok) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  *ok = true;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"' && fields.back().empty()) {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (quoted) *ok = false;
  return fields;
}

bool AllDigits(const std::string& s, bool emptyOk) {
  if (s.empty()) return emptyOk;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// "2026-12-09 16:13:57.323" as ms since the epoch (local time), or -1.
long long LogTimeMs(const std::string& s) {
  int y, mo, d, h, mi, sec, ms;
  char tail = 0;
  if (s.size() != 23 ||
      std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d%c", &y, &mo, &d, &h, &mi, &sec, &ms, &tail) != 7)
    return -1;
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = sec;
  t.tm_isdst = -1;
  time_t secs = mktime(&t);
  return secs < 0 ? -1 : secs * 1000LL + ms;
}

// One line of a production run as the program writes it, its CRLF taken off.
bool WellFormed(const std::vector<std::string>& f, long long* timeMs) {
  if (f.size() != 16 || f[15].empty()) return false;  // every column, the id last
  *timeMs = LogTimeMs(f[0]);
  if (*timeMs < 0 || f[1] != "QB2CLI" || f[3] != "production" || f[2].empty() || f[8].empty()) return false;
  std::string serial = f[4];
  if (!serial.empty() && serial[0] == '-') serial.erase(0, 1);
  if (!AllDigits(serial, true) || !AllDigits(f[6], true) || !AllDigits(f[9], false)) return false;
  if (!f[7].empty() && (f[7].size() != 8 || f[7].find_first_not_of("0123456789ABCDEF") != std::string::npos))
    return false;
  return true;
}

// A value of a flat JSON object: a string's text (escapes left as written), or a
// number as written.
std::string JsonField(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "<none>";
  at += key.size() + 3;
  if (at >= json.size()) return "<none>";
  if (json[at] != '"') return json.substr(at, json.find_first_of(",}", at) - at);
  std::string out;
  for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i) {
    if (json[i] == '\\' && i + 1 < json.size()) ++i;
    out += json[i];
  }
  return out;
}

// --- the soak ------------------------------------------------------------------

class Soak {
 public:
  explicit Soak(const Settings& s) : s_(s) {}
  int Run();

 private:
  bool SetUp();
  void StartProgram();
  std::string PickFault(bool verify);
  void DoKill(Program& p);
  void Reap();
  bool GroupGone(const Program& p);
  void Finish(Program& p);
  void ReadStamp(Unit& u);
  void ReadLog();
  void ReadJson();
  int Report();
  void TearDown(bool keep);

  const Settings& s_;
  std::string folder_, ports_, outs_;
  std::vector<Unit> units_;
  std::vector<Program> programs_;
  std::vector<int> running_;
  std::deque<int> freeComs_;
  std::vector<int> madeComs_;
  std::vector<LogLine> log_;
  std::vector<JsonLine> json_;
  IniWatch ini_;
  int wanted_ = 1;
  size_t mostAtOnce_ = 0, mostUnitsAtOnce_ = 0;
  bool logFileMissing_ = false;
  int logHeaderBad_ = 0;
};

bool Soak::SetUp() {
  if (s_.folder.empty()) {
    char name[] = "/tmp/qb2soak.XXXXXX";
    if (!mkdtemp(name)) {
      std::perror("qb2soak: mkdtemp");
      return false;
    }
    folder_ = name;
  } else {
    std::error_code ec;
    std::filesystem::create_directories(s_.folder, ec);
    folder_ = std::filesystem::absolute(s_.folder).lexically_normal().string();
    if (!std::filesystem::is_directory(folder_) || !std::filesystem::is_empty(folder_)) {
      std::fprintf(stderr, "qb2soak: --folder %s must be a new or empty folder\n", s_.folder.c_str());
      return false;
    }
  }
  ports_ = folder_ + "/ports";
  outs_ = folder_ + "/programs";
  mkdir(ports_.c_str(), 0755);
  mkdir(outs_.c_str(), 0755);
  mkdir((folder_ + "/units").c_str(), 0755);

  // Seven non-blank pages, the last at 0xE000, where the serial number goes; a
  // length that is not a whole number of pages, as a real image's may be. With
  // --blank-stamp-page that page is left blank: the run has nowhere to put the number.
  std::string image(0xE0C0, '\xFF');
  for (uint32_t page : {0x0000u, 0x0100u, 0x1000u, 0x4000u, 0x8000u, 0xC000u, 0xE000u})
    for (uint32_t i = 0; i < 0x100 && page + i < image.size() && !(page == 0xE000u && s_.blankStampPage); ++i)
      image[page + i] = static_cast<char>((page >> 8) + i * 7);
  std::string ini = "[QB2BENCH]\r\nSerialNumber=" + Serial8(s_.first) + "\r\nLogFile=" + kLog + "\r\n";
  if (!WriteWhole(folder_ + "/" + kImage, image) || !WriteWhole(folder_ + "/" + kIni, ini)) {
    std::fprintf(stderr, "qb2soak: cannot write the station files in %s\n", folder_.c_str());
    return false;
  }

  if (!s_.wineExe.empty()) {
    std::string up = "'" + std::string(QB2_SOAK_SOURCE) + "/tools/wine/prefix.sh' up '" + s_.winePrefix + "' >&2";
    if (std::system(up.c_str()) != 0) {
      std::fprintf(stderr, "qb2soak: the Wine prefix %s did not come up\n", s_.winePrefix.c_str());
      return false;
    }
    // COMn of the prefix leads to this folder's link, which the unit points at its pty.
    for (int n = kFirstCom; n <= kLastCom; ++n) {
      std::string dos = s_.winePrefix + "/dosdevices/com" + std::to_string(n);
      unlink(dos.c_str());
      if (symlink((ports_ + "/com" + std::to_string(n)).c_str(), dos.c_str()) != 0) {
        std::fprintf(stderr, "qb2soak: cannot link %s: %s\n", dos.c_str(), std::strerror(errno));
        return false;
      }
      madeComs_.push_back(n);
      freeComs_.push_back(n);
    }
  }
  ini_.path = folder_ + "/" + kIni;
  return true;
}

std::string Soak::PickFault(bool verify) {
  if (!Chance(0.3)) return std::string();
  const int n = Pick(1, (verify ? kVerifyFrames : kRunFrames) + 2);
  switch (Pick(0, 4)) {
    case 0:
      return "no-reply:frame=" + std::to_string(n);
    case 1:
      return "status:value=0x32,frame=" + std::to_string(n);
    case 2: {
      // Never a byte of the stamp: a unit that stores its own number wrongly is
      // the unit's fault, not the program's.
      int byte = Pick(0, 251);
      if (byte >= 4) byte += 4;
      return "corrupt-write:nth=" + std::to_string(Pick(1, 7)) + ",value=" + std::to_string(byte);
    }
    case 3:
      return "bad-sum:frame=" + std::to_string(n);
    default:
      return "unplug:after=" + std::to_string(n);
  }
}

void Soak::StartProgram() {
  Program p;
  p.id = static_cast<int>(programs_.size()) + 1;
  // Native and Wine programs never run at once: the counter's holder lock of the
  // one (flock) is not seen by the other (Wine's Windows locks), so together they
  // would hand out one number twice, which no station does (it runs the one or the
  // other). A new program joins those running; with none running it is drawn.
  p.wine = !s_.wineExe.empty() && Chance(s_.wineShare);
  if (!running_.empty()) p.wine = programs_[static_cast<size_t>(running_[0])].wine;
  p.verify = Chance(0.5);
  const int count = Chance(0.4) ? 1 : Pick(2, s_.maxGang);
  // Wine has COM ports for so many units at once; a gang waits for fewer.
  const int ports = p.wine ? std::min(count, static_cast<int>(freeComs_.size())) : count;
  if (ports < 1) return;
  const int r = Pick(0, 99);
  if (r >= 40) {
    if (ports == 1) {
      const KillKind single[] = {INT_PROGRAM, INT_GROUP, KILL_PROGRAM};
      p.kill = single[Pick(0, 2)];
    } else {
      const KillKind gang[] = {INT_PROGRAM, INT_GROUP, KILL_PROGRAM, KILL_CHILD, KILL_CHILD, INT_CHILD};
      p.kill = gang[Pick(0, 5)];
    }
    // Half of them anywhere in a run, half in its last second, where the unit is
    // stamped and its line not yet written.
    p.killAtMs = Chance(0.5) ? Pick(0, 5000) : Pick(3000, 4500);
    // Drawn now, not when it is used, so that a seed gives the same programs in the
    // same order whatever the timing.
    p.childPick = Pick(0, 1 << 20);
    if (p.wine) p.killAtMs += 300;  // Wine's start
  }

  std::string list;
  for (int i = 0; i < ports; ++i) {
    Unit u;
    u.id = static_cast<int>(units_.size()) + 1;
    u.program = p.id;
    char name[16];
    std::snprintf(name, sizeof name, "u%05d", u.id);
    if (p.wine) {
      u.com = freeComs_.front();
      freeComs_.pop_front();
      u.link = ports_ + "/com" + std::to_string(u.com);
      u.port = "COM" + std::to_string(u.com);
    } else {
      u.link = ports_ + "/" + name;
      u.port = u.link;
    }
    u.fault = PickFault(p.verify);
    qb2sim::Options o;
    o.linkPath = u.link;
    o.logPath = folder_ + "/units/" + name + ".log";
    u.sim.reset(new qb2sim::VirtualUnit(o));
    if (!u.fault.empty()) {
      qb2sim::Fault f;
      std::string error;
      if (!qb2sim::ParseFault(u.fault, &f, &error)) {
        std::fprintf(stderr, "qb2soak: fault %s: %s\n", u.fault.c_str(), error.c_str());
        std::exit(2);
      }
      u.sim->AddFault(f);
    }
    if (!u.sim->Start()) {
      std::fprintf(stderr, "qb2soak: virtual unit %s: %s\n", name, u.sim->LastError().c_str());
      std::exit(2);
    }
    u.startMs = WallMs();
    list += (list.empty() ? "" : ",") + u.port;
    p.units.push_back(u.id - 1);
    units_.push_back(std::move(u));
  }

  char name[32];
  std::snprintf(name, sizeof name, "/p%04d", p.id);
  p.out = outs_ + name + ".out";
  p.err = outs_ + name + ".err";
  std::vector<std::string> argv, env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  if (p.wine) {
    argv = {std::string(QB2_SOAK_SOURCE) + "/tools/wine/bin/wine", s_.wineExe};
    env.push_back("WINEPREFIX=" + s_.winePrefix);
    env.push_back("WINEARCH=win64");
    env.push_back("WINEDEBUG=-all");
    env.push_back("WINEDLLOVERRIDES=mscoree,mshtml=");
    env.push_back("LC_ALL=ja_JP.UTF-8");
    env.push_back("LD_PRELOAD=" + s_.shim);
  } else {
    argv = {s_.cli};
    // No leak check at the end of an ASan build's processes: its stop-the-world
    // helper shares the process's descriptors, and a SIGKILL meanwhile leaves it
    // holding the pipes of a gang's child, so the soak would wait on a sanitizer,
    // not on the program.
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  for (const char* a : {"--port", list.c_str(), "--quiet"}) argv.push_back(a);
  if (s_.json) argv.push_back("--json");
  argv.push_back("produce");
  if (p.verify) argv.push_back("--verify");
  p.started = Clock::now();
  p.pid = Spawn(argv, env, folder_, p.out, p.err);
  if (p.pid < 0) {
    std::fprintf(stderr, "qb2soak: cannot start %s\n", argv[0].c_str());
    std::exit(2);
  }
  running_.push_back(static_cast<int>(programs_.size()));
  programs_.push_back(p);
  mostAtOnce_ = std::max(mostAtOnce_, running_.size());
  size_t unitsNow = 0;
  for (int k : running_) unitsNow += programs_[static_cast<size_t>(k)].units.size();
  mostUnitsAtOnce_ = std::max(mostUnitsAtOnce_, unitsNow);
}

// The program's own process: its pid natively; under Wine the process that runs
// QB2CLI.EXE without --child (a loader on the way may have started it).
pid_t MainProcess(const Program& p) {
  if (!p.wine) return p.pid;
  for (const auto& proc : GroupProcesses(p.pid))
    if (proc.second.find("QB2CLI.EXE") != std::string::npos && proc.second.find("--child") == std::string::npos)
      return proc.first;
  return p.pid;
}

void Soak::DoKill(Program& p) {
  if (p.kill == KILL_NONE || p.killDone || MsSince(p.started) < p.killAtMs) return;
  if (p.leaderDone) {
    p.killDone = true;
    p.killNote = "ended before its " + std::string(kKillNames[p.kill]);
    return;
  }
  switch (p.kill) {
    case INT_PROGRAM:
      kill(MainProcess(p), SIGINT);
      break;
    case INT_GROUP:
      kill(-p.pid, SIGINT);
      break;
    case KILL_PROGRAM:
      if (kill(MainProcess(p), SIGKILL) == 0) {
        p.programKilled = true;
        if (p.units.size() == 1) units_[static_cast<size_t>(p.units[0])].killed = true;
      }
      break;
    case KILL_CHILD:
    case INT_CHILD: {
      // A child of the gang still running, picked at random; none yet: try again.
      std::vector<std::pair<pid_t, int>> children;
      for (const auto& proc : GroupProcesses(p.pid)) {
        if (proc.second.find("--child") == std::string::npos) continue;
        std::string port = PortOf(proc.second);
        for (int k : p.units)
          if (units_[static_cast<size_t>(k)].port == port) children.push_back({proc.first, k});
      }
      if (children.empty()) {
        if (MsSince(p.started) > p.killAtMs + 3000) {
          p.killDone = true;
          p.killNote = "no gang child to signal";
        }
        return;
      }
      auto chosen = children[static_cast<size_t>(p.childPick) % children.size()];
      if (kill(chosen.first, p.kill == KILL_CHILD ? SIGKILL : SIGINT) == 0 && p.kill == KILL_CHILD)
        units_[static_cast<size_t>(chosen.second)].killed = true;
      p.killNote = std::string(kKillNames[p.kill]) + " (" + units_[static_cast<size_t>(chosen.second)].port + ")";
      break;
    }
    default:
      break;
  }
  if (p.killNote.empty()) p.killNote = kKillNames[p.kill];
  char at[32];
  std::snprintf(at, sizeof at, " at %.2f s", MsSince(p.started) / 1000.0);
  p.killNote += at;
  p.killDone = true;
}

// Every ended child of this process: the programs, and the gang children and Wine
// processes left to it by a parent that ended first.
void Soak::Reap() {
  for (;;) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    for (int k : running_) {
      Program& p = programs_[static_cast<size_t>(k)];
      if (p.pid == pid) {
        p.leaderDone = true;
        p.status = status;
      }
    }
  }
}

bool Soak::GroupGone(const Program& p) { return kill(-p.pid, 0) != 0 && errno == ESRCH; }

void Soak::ReadStamp(Unit& u) {
  std::vector<uint8_t> flash = u.sim->Flash();
  const uint8_t* b = flash.data() + kStampAt;
  char hex[16];
  std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", b[0], b[1], b[2], b[3]);
  u.stampHex = hex;
  if (b[0] == 0xFF && b[1] == 0xFF && b[2] == 0xFF && b[3] == 0xFF) return;
  long long n = 0;
  for (int i = 0; i < 4; ++i) {
    int hi = b[i] >> 4, lo = b[i] & 0x0F;
    if (hi > 9 || lo > 9) {
      u.stamp = Unit::GARBLED;
      return;
    }
    n = n * 100 + hi * 10 + lo;
  }
  u.stamp = Unit::NUMBER;
  u.number = n;
}

void Soak::Finish(Program& p) {
  std::string faults;
  for (int k : p.units) {
    Unit& u = units_[static_cast<size_t>(k)];
    u.endMs = WallMs();
    u.opened = u.sim->OpenCount() > 0;
    ReadStamp(u);
    u.sim->Stop();
    u.sim.reset();
    if (u.com) freeComs_.push_back(u.com);
    if (!u.fault.empty()) faults += " " + u.port.substr(u.port.rfind('/') + 1) + "=" + u.fault;
  }
  std::string how;
  if (p.hung) how = "hung, killed";
  else if (WIFEXITED(p.status)) how = "exit " + std::to_string(WEXITSTATUS(p.status));
  else if (WIFSIGNALED(p.status)) how = "signal " + std::to_string(WTERMSIG(p.status));
  std::printf("p%04d %s %s%s %s, %.1f s%s%s%s\n", p.id, p.wine ? "wine  " : "native",
              p.units.size() == 1 ? "single" : ("gang " + std::to_string(p.units.size())).c_str(),
              p.verify ? " verify" : "", how.c_str(), MsSince(p.started) / 1000.0,
              p.killNote.empty() ? "" : "; ", p.killNote.c_str(), faults.empty() ? "" : ("; faults" + faults).c_str());
  std::fflush(stdout);
}

void Soak::ReadLog() {
  bool ok = false;
  std::string text = ReadWhole(folder_ + "/" + kLog, &ok);
  if (!ok) {
    logFileMissing_ = true;
    return;
  }
  std::set<std::string> seen;
  int number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    ++number;
    LogLine line;
    line.number = number;
    line.text = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    bool crlf = end != std::string::npos && !line.text.empty() && line.text.back() == '\r';
    if (crlf) line.text.pop_back();
    if (number == 1) {
      if (line.text != kLogHeader || !crlf) ++logHeaderBad_;
      continue;
    }
    bool quotes = false;
    line.fields = CsvFields(line.text, &quotes);
    line.good = crlf && quotes && WellFormed(line.fields, &line.timeMs);
    if (line.good && !seen.insert(line.text).second) line.good = false;  // the same line twice
    log_.push_back(line);
  }
  // Each good line to its unit: by port (a native unit's port is its own path),
  // and for a Wine COM port that came round again, by the run it ended in.
  std::map<std::string, std::vector<int>> byPort;
  for (const Unit& u : units_) byPort[u.port].push_back(u.id - 1);
  for (size_t i = 0; i < log_.size(); ++i) {
    LogLine& line = log_[i];
    if (!line.good) continue;
    std::vector<int> fits;
    for (int k : byPort[line.fields[2]]) {
      const Unit& u = units_[static_cast<size_t>(k)];
      if (byPort[line.fields[2]].size() == 1 || (line.timeMs >= u.startMs - 2000 && line.timeMs <= u.endMs + 2000))
        fits.push_back(k);
    }
    if (fits.size() != 1) continue;
    line.unit = fits[0];
    units_[static_cast<size_t>(fits[0])].logLines.push_back(static_cast<int>(i));
  }
}

void Soak::ReadJson() {
  for (const Program& p : programs_) {
    std::istringstream out(ReadWhole(p.out));
    std::string line;
    while (std::getline(out, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty()) continue;
      int unit = -1;
      for (int k : p.units) {
        const Unit& u = units_[static_cast<size_t>(k)];
        if (line.compare(0, u.port.size() + 1, u.port + " ") == 0 || JsonField(line, "port") == u.port) unit = k;
      }
      if (line[0] != '{') {
        if (unit >= 0 && line.find("ended without a result") != std::string::npos)
          units_[static_cast<size_t>(unit)].saidNoResult = true;
        continue;
      }
      JsonLine j;
      j.program = p.id;
      j.port = JsonField(line, "port");
      j.serial = JsonField(line, "serial");
      j.result = JsonField(line, "result");
      j.exit = JsonField(line, "exit");
      j.unit = unit;
      if (unit >= 0) units_[static_cast<size_t>(unit)].jsonLines.push_back(static_cast<int>(json_.size()));
      json_.push_back(j);
    }
  }
}

// A line's serial against its unit's stamp: the number it holds, or none for a
// run that did not end OK (a failed unit's number stays unused).
bool Differs(const Unit& u, const std::string& serial, const std::string& result) {
  if (u.stamp == Unit::GARBLED) return true;
  if (u.stamp == Unit::NONE) return result == "OK" && !serial.empty();  // OK, naming a number it does not hold
  return serial != Serial8(u.number);
}

std::string Describe(const Unit& u, const std::vector<Program>& programs) {
  const Program& p = programs[static_cast<size_t>(u.program - 1)];
  std::string text = "u" + std::to_string(u.id) + " (p" + std::to_string(p.id) + " " + (p.wine ? "wine " : "") +
                     (p.units.size() == 1 ? "single" : "gang " + std::to_string(p.units.size())) + ", " + u.port +
                     ", stamp " + (u.stamp == Unit::NONE ? "none" : u.stampHex);
  if (!u.fault.empty()) text += ", fault " + u.fault;
  if (!p.killNote.empty()) text += ", " + p.killNote;
  return text + ")";
}

struct Figure {
  std::string name;
  long long value = 0;
  bool mustBeZero = false;
  std::string detail;
  std::vector<std::string> examples;
};

int Soak::Report() {
  ReadLog();
  if (s_.json) ReadJson();

  int single = 0, wine = 0, stamped = 0;
  for (const Program& p : programs_) {
    single += p.units.size() == 1;
    wine += p.wine;
  }
  std::map<long long, std::vector<int>> byStamp;
  for (const Unit& u : units_) {
    if (u.stamp != Unit::NONE) ++stamped;
    if (u.stamp == Unit::NUMBER) byStamp[u.number].push_back(u.id - 1);
  }
  std::deque<Figure> figures;  // references to its figures stay good as it grows
  auto add = [&](const std::string& name, bool mustBeZero) -> Figure& {
    figures.push_back(Figure());
    figures.back().name = name;
    figures.back().mustBeZero = mustBeZero;
    return figures.back();
  };
  auto example = [](Figure& f, const std::string& text) {
    ++f.value;
    if (f.examples.size() < 8) f.examples.push_back(text);
  };

  Figure& dup = add("duplicate stamps", true);
  for (const auto& s : byStamp) {
    if (s.second.size() < 2) continue;
    std::string text = Serial8(s.first) + " on";
    for (int k : s.second) text += " " + Describe(units_[static_cast<size_t>(k)], programs_);
    example(dup, text);
  }

  // Stamped units without an OK line: the operator was told (a stopped or failed
  // line), the unit's own process was killed, or neither. A unit whose port was
  // opened and that has no line at all is a run the log lost, unless the process
  // that ran it was killed: a single program killed leaves nobody to write it, but
  // a gang child killed leaves its parent, which saw it end.
  Figure& noOk = add("stamped units with no OK line", false);
  Figure& childKilled = add("units of a killed gang child with no line, its parent alive", true);
  Figure& lost = add("units that ran with no line and no kill", true);
  Figure& manyOk = add("stamped units with more than one OK line", true);
  Figure& manyLines = add("units with more than one log line", true);
  int told = 0, killedAlone = 0, childStamped = 0, lostStamped = 0;
  for (const Unit& u : units_) {
    const Program& p = programs_[static_cast<size_t>(u.program - 1)];
    int ok = 0;
    for (int i : u.logLines) ok += log_[static_cast<size_t>(i)].fields[8] == "OK";
    if (u.logLines.size() > 1) example(manyLines, Describe(u, programs_));
    if (ok > 1) example(manyOk, Describe(u, programs_));
    const bool stamped = u.stamp != Unit::NONE;
    if (u.logLines.empty() && (u.opened || stamped) && !p.hung) {
      if (u.killed && p.units.size() == 1) {
        killedAlone += stamped;
      } else if (u.killed) {
        example(childKilled, Describe(u, programs_));
        childStamped += stamped;
      } else {
        example(lost, Describe(u, programs_));
        lostStamped += stamped;
      }
    }
    if (stamped && ok == 0) {
      ++noOk.value;
      told += !u.logLines.empty();
    }
  }
  noOk.detail = std::to_string(told) + " with a stopped or failed line (the operator told), " +
                std::to_string(killedAlone) + " single programs killed (nobody left to write it), " +
                std::to_string(childStamped) + " gang children killed, " + std::to_string(lostStamped) +
                " with no line and no kill";
  childKilled.detail = std::to_string(childStamped) + " of them stamped";
  lost.detail = std::to_string(lostStamped) + " of them stamped";

  Figure& differs = add("log lines whose serial differs from the unit's stamp", true);
  Figure& strays = add("log lines for no unit of this soak", true);
  Figure& torn = add("torn or doubled lines in the CSV", true);
  for (const LogLine& line : log_) {
    if (!line.good) {
      example(torn, "line " + std::to_string(line.number) + ": " + line.text.substr(0, 160));
      continue;
    }
    if (line.unit < 0) {
      example(strays, "line " + std::to_string(line.number) + ": " + line.text);
      continue;
    }
    const Unit& u = units_[static_cast<size_t>(line.unit)];
    if (Differs(u, line.fields[4], line.fields[8]))
      example(differs, "line " + std::to_string(line.number) + " serial " + line.fields[4] + " " + line.fields[8] +
                           " for " + Describe(u, programs_));
  }
  torn.value += logHeaderBad_;
  if (logHeaderBad_) torn.examples.push_back("the header line is not the log's header");
  if (logFileMissing_ && !units_.empty()) example(torn, "no run log at all");

  // The numbers handed out are those the counter moved over.
  long long last = ini_.highest;
  std::set<long long> stampedNumbers;
  for (const auto& s : byStamp) stampedNumbers.insert(s.first);
  Figure& gaps = add("numbers skipped (gaps)", false);
  Figure& outside = add("stamps that are no number handed out", true);
  long long failedLine = 0;
  std::set<std::string> loggedSerials;
  for (const LogLine& line : log_)
    if (line.good) loggedSerials.insert(line.fields[4]);
  for (long long n = s_.first; n < last && n < s_.first + 10000000; ++n) {
    if (stampedNumbers.count(n)) continue;
    ++gaps.value;
    failedLine += loggedSerials.count(Serial8(n));
  }
  gaps.detail = std::to_string(last - s_.first) + " handed out, " + std::to_string(failedLine) +
                " of the gaps in a log line (a failed or stopped run)";
  for (const auto& s : byStamp)
    if (s.first < s_.first || s.first >= last)
      for (int k : s.second)
        example(outside, Serial8(s.first) + " on " + Describe(units_[static_cast<size_t>(k)], programs_));
  for (const Unit& u : units_)
    if (u.stamp == Unit::GARBLED) example(outside, "no packed BCD: " + Describe(u, programs_));

  Figure& back = add("times the INI's counter went backwards", true);
  for (const std::string& b : ini_.backwards) example(back, b);
  back.detail = std::to_string(ini_.reads) + " reads, " + std::to_string(ini_.unreadable) + " without a number";
  Figure& bad = add("INI files set aside as damaged (.bad)", true);
  for (const auto& e : std::filesystem::directory_iterator(folder_))
    if (e.path().filename().string().rfind(std::string(kIni) + ".bad", 0) == 0) example(bad, e.path().string());

  if (s_.json) {
    Figure& jsonNoOk = add("stamped units with no JSON OK line, not explained by a kill", true);
    Figure& jsonDiffers = add("JSON lines whose serial differs from the unit's stamp", true);
    Figure& disagree = add("JSON lines that disagree with the unit's log line", true);
    for (const Unit& u : units_) {
      const Program& p = programs_[static_cast<size_t>(u.program - 1)];
      int ok = 0;
      for (int i : u.jsonLines) {
        const JsonLine& j = json_[static_cast<size_t>(i)];
        ok += j.result == "OK";
        if (Differs(u, j.serial, j.result))
          example(jsonDiffers, "serial " + j.serial + " " + j.result + " for " + Describe(u, programs_));
        if (u.logLines.size() == 1) {
          const LogLine& line = log_[static_cast<size_t>(u.logLines[0])];
          if (line.fields[4] != j.serial || line.fields[8] != j.result)
            example(disagree, "JSON " + j.serial + " " + j.result + ", log " + line.fields[4] + " " + line.fields[8] +
                                  " for " + Describe(u, programs_));
        }
      }
      // The program that prints it was killed, or the child that tells its parent.
      const bool killed = u.killed || p.programKilled;
      if (u.stamp != Unit::NONE && ok == 0 && u.jsonLines.empty() && !killed)
        example(jsonNoOk, Describe(u, programs_) + (u.saidNoResult ? ": \"ended without a result\"" : ""));
    }
  }

  Figure& hung = add("programs that did not end within 90 s", true);
  Figure& sanitizer = add("sanitizer reports in the programs' output", true);
  for (const Program& p : programs_) {
    if (p.hung) example(hung, "p" + std::to_string(p.id) + p.hangNote);
    std::string err = ReadWhole(p.err);
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
      example(sanitizer, "p" + std::to_string(p.id) + ": " + p.err);
  }

  std::printf("\nqb2soak: seed %llu, %.0f s, station folder %s\n", static_cast<unsigned long long>(s_.seed),
              s_.seconds, folder_.c_str());
  std::printf("  %-58s %zu (%d single, %zu gangs; %d under Wine; at most %zu at once, %zu units)\n", "runs",
              programs_.size(), single, programs_.size() - static_cast<size_t>(single), wine, mostAtOnce_,
              mostUnitsAtOnce_);
  std::printf("  %-58s %zu, %d stamped\n", "units", units_.size(), stamped);
  std::vector<std::string> failed;
  for (const Figure& f : figures) {
    std::printf("  %-58s %lld%s%s%s\n", (f.name + (f.mustBeZero ? " (must be 0)" : "")).c_str(), f.value,
                f.detail.empty() ? "" : " (", f.detail.c_str(), f.detail.empty() ? "" : ")");
    for (const std::string& e : f.examples) std::printf("      %s\n", e.c_str());
    if (f.examples.size() < static_cast<size_t>(f.value) && !f.examples.empty())
      std::printf("      ... and %lld more\n", f.value - static_cast<long long>(f.examples.size()));
    if (f.mustBeZero && f.value != 0) failed.push_back(f.name);
  }
  if (failed.empty()) {
    std::printf("qb2soak: every figure that must be 0 is 0\n");
    return 0;
  }
  std::printf("qb2soak: FAILED (seed %llu):", static_cast<unsigned long long>(s_.seed));
  for (const std::string& f : failed) std::printf(" [%s]", f.c_str());
  std::printf("\n");
  return 1;
}

void Soak::TearDown(bool keep) {
  for (int n : madeComs_) unlink((s_.winePrefix + "/dosdevices/com" + std::to_string(n)).c_str());
  if (!s_.wineExe.empty()) {
    std::string down = "'" + std::string(QB2_SOAK_SOURCE) + "/tools/wine/prefix.sh' down '" + s_.winePrefix + "' >&2";
    if (std::system(down.c_str()) != 0) std::fprintf(stderr, "qb2soak: the Wine prefix's server did not stop\n");
  }
  if (keep) {
    std::printf("qb2soak: station folder kept: %s\n", folder_.c_str());
  } else {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

int Soak::Run() {
  if (!SetUp()) return 2;
  std::printf("qb2soak: seed %llu (replay: --seed %llu), %.0f s, folder %s\n",
              static_cast<unsigned long long>(s_.seed), static_cast<unsigned long long>(s_.seed), s_.seconds,
              folder_.c_str());
  std::fflush(stdout);
  // Gang children whose parent was killed come to this process, which waits for
  // them like for its own.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  ini_.Start();
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(static_cast<long long>(s_.seconds * 1000));
  for (;;) {
    const bool starting = Clock::now() < end && !Interrupted;
    if (starting && static_cast<int>(running_.size()) < wanted_) {
      StartProgram();
      wanted_ = Pick(1, s_.maxPrograms);
    }
    if (!starting && running_.empty()) break;
    Reap();
    for (size_t i = 0; i < running_.size();) {
      Program& p = programs_[static_cast<size_t>(running_[i])];
      DoKill(p);
      if (!p.hung && MsSince(p.started) > kHungMs) {
        p.hung = true;
        // Which of its processes were still there, and where each waited: what a
        // hang needs to be looked into.
        for (const auto& proc : GroupProcesses(p.pid)) {
          std::string wchan = ReadWhole("/proc/" + std::to_string(proc.first) + "/wchan");
          p.hangNote += "\n      pid " + std::to_string(proc.first) + (proc.first == p.pid ? " (leader)" : "") +
                        " waiting in " + (wchan.empty() ? "?" : wchan) + ": " + proc.second.substr(0, 160);
        }
        kill(-p.pid, SIGKILL);
      }
      if (p.leaderDone && GroupGone(p)) {
        Finish(p);
        running_.erase(running_.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ini_.Stop();
  int result = Report();
  TearDown(s_.keep || result != 0);
  return result;
}

int Usage(const char* error) {
  if (error) std::fprintf(stderr, "qb2soak: %s\n", error);
  std::fprintf(stderr,
               "usage: qb2soak [--seconds N] [--seed S] [--folder DIR] [--json] [--programs N] [--gang N]\n"
               "               [--first N] [--blank-stamp-page] [--cli PATH]\n"
               "               [--wine QB2CLI.EXE|WIN64_TREE [--wineprefix P]\n"
               "               [--wine-share F] [--shim LIB]]\n"
               "Production runs for N seconds (default 60) against fresh virtual units in one\n"
               "station folder: single runs and gangs (2 to --gang, default 8), up to --programs\n"
               "(default 3) at once, faults in the units, SIGINT and SIGKILL of programs and gang\n"
               "children; then every unit's stamp against the run log (and JSON lines with\n"
               "--json). --first: the counter's first number (default 1). --blank-stamp-page:\n"
               "the image's page at 0xE000 blank (nowhere to stamp). --wine: run programs\n"
               "as QB2CLI.EXE under Wine too (--wine-share of them, default half; never beside\n"
               "native ones; the prefix's server is started and stopped; WIN64_TREE/wineprefix\n"
               "unless --wineprefix). --folder keeps the folder; a failed soak keeps it too.\n"
               "Exit value 1 when a figure that must be 0 is not, 2 when the soak cannot run.\n");
  return 2;
}

bool ParseArgs(int argc, char** argv, Settings* s) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    auto number = [&](double lo, double hi, double* out) {
      if (!v) return false;
      char* end = nullptr;
      *out = std::strtod(v, &end);
      ++i;
      return *end == '\0' && end != v && *out >= lo && *out <= hi;
    };
    double d = 0;
    if (a == "--json") {
      s->json = true;
    } else if (a == "--blank-stamp-page") {
      s->blankStampPage = true;
    } else if (a == "--seconds") {
      if (!number(0, 1e7, &d)) return false;
      s->seconds = d;
    } else if (a == "--seed") {
      if (!v) return false;
      char* end = nullptr;
      s->seed = std::strtoull(v, &end, 10);
      if (*end != '\0' || end == v) return false;
      s->seedGiven = true;
      ++i;
    } else if (a == "--programs") {
      if (!number(1, 8, &d)) return false;
      s->maxPrograms = static_cast<int>(d);
    } else if (a == "--gang") {
      if (!number(2, 16, &d)) return false;
      s->maxGang = static_cast<int>(d);
    } else if (a == "--first") {
      if (!number(0, 2147483647.0, &d)) return false;
      s->first = static_cast<long long>(d);
    } else if (a == "--wine-share") {
      if (!number(0, 1, &d)) return false;
      s->wineShare = d;
    } else if (a == "--folder" || a == "--cli" || a == "--wine" || a == "--wineprefix" || a == "--shim") {
      if (!v) return false;
      ++i;
      if (a == "--folder") {
        s->folder = v;
        s->keep = true;
      }
      if (a == "--cli") s->cli = v;
      if (a == "--wine") s->wineExe = v;
      if (a == "--wineprefix") s->winePrefix = v;
      if (a == "--shim") s->shim = v;
    } else {
      return false;
    }
  }
  if (!s->wineExe.empty()) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path given = fs::absolute(s->wineExe, ec);
    if (fs::is_directory(given)) {
      if (s->winePrefix.empty()) s->winePrefix = (given / "wineprefix").string();
      given /= "cli/QB2CLI.EXE";
    }
    s->wineExe = given.lexically_normal().string();
    if (s->winePrefix.empty()) return false;
    s->winePrefix = fs::absolute(s->winePrefix, ec).lexically_normal().string();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!ParseArgs(argc, argv, &s)) return Usage("bad arguments");
  if (!s.seedGiven) s.seed = static_cast<uint64_t>(std::random_device()()) ^ static_cast<uint64_t>(WallMs());
  Random.seed(s.seed);
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
  if (access(s.cli.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "qb2soak: no program %s (--cli)\n", s.cli.c_str());
    return 2;
  }
  if (!s.wineExe.empty() && access(s.wineExe.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "qb2soak: no %s (--wine)\n", s.wineExe.c_str());
    return 2;
  }
  Soak soak(s);
  return soak.Run();
}
