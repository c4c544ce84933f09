// qb2sim: serves the virtual unit on a pseudo-terminal until killed or for a
// given time. See --help.
#include <signal.h>
#include <unistd.h>

#include <thread>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/sim/virtual_unit.h"

namespace {

const char kUsage[] =
    "usage: qb2sim [--link PATH] [--seconds N] [--log FILE] [--pace] [--pace-host]\n"
    "              [--reply-delay MS]\n"
    "              [--fault FAULT]... [--flash-file FILE] [--dump-flash FILE]\n"
    "              [--dump-program FILE]\n"
    "\n"
    "Plays the QB2 unit on a pseudo-terminal. Prints the pty slave path as one line\n"
    "on stdout once the unit is ready, then serves until SIGTERM/SIGINT or the end\n"
    "of --seconds, and exits 0 after writing the dumps.\n"
    "\n"
    "  --link PATH        make PATH a symbolic link to the slave (replaced atomically;\n"
    "                     re-pointed on replug; left dangling on unplug and at exit)\n"
    "  --seconds N        serve N seconds (fractions allowed), then exit\n"
    "  --until-eof        serve until standard input reaches its end (the starting\n"
    "                     program closed its end of the pipe, or ended)\n"
    "  --stop-file PATH   serve until PATH exists (checked every 20 ms); for starters\n"
    "                     that can neither signal it nor hand it a pipe, such as a\n"
    "                     Windows program under Wine\n"
    "  --log FILE         log every byte both ways and every event, one line each:\n"
    "                       SECONDS DIR DATA\n"
    "                     SECONDS since start (microseconds); DIR is H>D (host to\n"
    "                     unit, DATA in hex), D>H (unit to host) or EV (DATA is an\n"
    "                     event: start, host-open N, host-close N, frame N code=..\n"
    "                     [BAD-ETX|BAD-SUM|BAD-CR|INCOMPLETE|OVERSIZE-HEADER],\n"
    "                     pre-stop byte, fault: ..., boot-loader entered/left,\n"
    "                     boot STEP .. -> REPLY, unplug, replug, stop)\n"
    "  --pace             send to the host at 38400 baud (about 260 us a byte)\n"
    "  --pace-host        take the host's bytes at 38400 baud too (a request is\n"
    "                     handled once the wire would have delivered it)\n"
    "  --reply-delay MS   processing time before every reply\n"
    "  --fault FAULT      commit a fault; repeatable (grammar below)\n"
    "  --flash-file FILE  preload data flash from offset 0 (at most 131072 bytes)\n"
    "  --dump-flash FILE  write the 131072-byte data flash at exit\n"
    "  --dump-program FILE  write the 65536-byte boot-loader program memory at exit\n"
    "  --help             this text\n"
    "\n"
    "The unit: frames STX code len-lo len-hi payload ETX SUM CR; replies carry status\n"
    "'0' on success, '1' for a wrong payload length, '2' for an argument out of range\n"
    "(address/count beyond the 128 KiB flash, read count 0 or over 256, erase size 0,\n"
    "a write crossing a 256-byte page, bad BCD or a date past 2099), '3' for an\n"
    "unknown command or memory sub-command. Bad frames get no reply. Flash starts\n"
    "erased (0xFF); writes only clear bits. The clock starts at 2000-01-01 00:00:00.\n"
    "The boot loader (after command 0x70) answers erase with 0x06 (0x15: unknown\n"
    "block code), \"W\" with 0xAA, addresses and pages with their sums (the\n"
    "complement for an address outside the boot blocks), \"U\" with 0x06 (0x15 if the\n"
    "page does not read back as written); 0xFF after W ends the download.\n"
    "\n"
    "Faults:\n";

int Usage(const char* error) {
  if (error) fprintf(stderr, "qb2sim: %s\n(see qb2sim --help)\n", error);
  return 2;
}

bool ParseInt(const char* s, long lo, long hi, long* out) {
  errno = 0;
  char* end = nullptr;
  const long v = strtol(s, &end, 0);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ReadFile(const std::string& path, size_t max, std::vector<uint8_t>* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out->resize(max + 1);
  const size_t n = fread(out->data(), 1, out->size(), f);
  const bool ok = !ferror(f) && n <= max;
  fclose(f);
  out->resize(n);
  return ok;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  qb2sim::Options opt;
  std::vector<qb2sim::Fault> faults;
  std::string flashFile, dumpFlash, dumpProgram;
  double seconds = -1;
  bool untilEof = false;
  std::string stopFile;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      fputs(qb2sim::FaultGrammar(), stdout);
      return 0;
    } else if (a == "--pace") {
      opt.pace = true;
    } else if (a == "--pace-host") {
      opt.paceHost = true;
    } else if (a == "--until-eof") {
      untilEof = true;
    } else if (a == "--link" || a == "--log" || a == "--flash-file" || a == "--dump-flash" ||
               a == "--dump-program" || a == "--seconds" || a == "--reply-delay" || a == "--fault" ||
               a == "--stop-file") {
      const char* v = value();
      if (!v) return Usage((a + " needs a value").c_str());
      if (a == "--link") opt.linkPath = v;
      if (a == "--log") opt.logPath = v;
      if (a == "--flash-file") flashFile = v;
      if (a == "--dump-flash") dumpFlash = v;
      if (a == "--dump-program") dumpProgram = v;
      if (a == "--stop-file") stopFile = v;
      if (a == "--seconds") {
        char* end = nullptr;
        seconds = strtod(v, &end);
        if (end == v || *end != '\0' || seconds < 0) return Usage("bad --seconds");
      }
      if (a == "--reply-delay") {
        long ms;
        if (!ParseInt(v, 0, 600000, &ms)) return Usage("bad --reply-delay");
        opt.replyDelayMs = static_cast<int>(ms);
      }
      if (a == "--fault") {
        qb2sim::Fault f;
        std::string err;
        if (!qb2sim::ParseFault(v, &f, &err)) return Usage(err.c_str());
        faults.push_back(f);
      }
    } else {
      return Usage(("unknown argument " + a).c_str());
    }
  }

  // Signals are taken synchronously by this thread only; the service thread
  // inherits the blocked mask.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  qb2sim::VirtualUnit unit(opt);
  if (!flashFile.empty()) {
    std::vector<uint8_t> bytes;
    if (!ReadFile(flashFile, qb2sim::kFlashSize, &bytes)) {
      fprintf(stderr, "qb2sim: cannot read %s (or larger than %u bytes)\n", flashFile.c_str(),
              qb2sim::kFlashSize);
      return 1;
    }
    unit.SetFlash(0, bytes);
  }
  for (const auto& f : faults) unit.AddFault(f);
  if (!unit.Start()) {
    fprintf(stderr, "qb2sim: %s\n", unit.LastError().c_str());
    return 1;
  }
  printf("%s\n", unit.SlavePath().c_str());
  fflush(stdout);
  if (untilEof) {
    // A program that cannot signal this one (a Windows test under Wine cannot end
    // a Linux process it started) stops it by closing the pipe, or by ending.
    std::thread([] {
      char buf[256];
      while (read(0, buf, sizeof buf) > 0) {
      }
      kill(getpid(), SIGTERM);
    }).detach();
  }
  if (!stopFile.empty()) {
    std::thread([stopFile] {
      while (access(stopFile.c_str(), F_OK) != 0) usleep(20000);
      kill(getpid(), SIGTERM);
    }).detach();
  }

  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  if (seconds >= 0) {
    end.tv_sec += static_cast<time_t>(seconds);
    end.tv_nsec += static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9);
    if (end.tv_nsec >= 1000000000L) {
      end.tv_sec += 1;
      end.tv_nsec -= 1000000000L;
    }
  }
  for (;;) {
    timespec wait{1, 0};
    if (seconds >= 0) {
      timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      long long left = (end.tv_sec - now.tv_sec) * 1000000000LL + (end.tv_nsec - now.tv_nsec);
      if (left <= 0) break;
      if (left < 1000000000LL) wait = {0, static_cast<long>(left)};
    }
    const int sig = sigtimedwait(&sigs, nullptr, &wait);
    if (sig == SIGINT || sig == SIGTERM) break;
  }
  unit.Stop();

  int rc = 0;
  if (!dumpFlash.empty() && !WriteFile(dumpFlash, unit.Flash())) {
    fprintf(stderr, "qb2sim: cannot write %s\n", dumpFlash.c_str());
    rc = 1;
  }
  if (!dumpProgram.empty() && !WriteFile(dumpProgram, unit.ProgramMemory())) {
    fprintf(stderr, "qb2sim: cannot write %s\n", dumpProgram.c_str());
    rc = 1;
  }
  return rc;
}
