// Faults the virtual unit can be told to commit, for exercising the host's
// time-outs, frame checks, fragment handling and unplug paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/unit_model.h"

namespace qb2sim {

enum class FaultKind {
  kNoReply,      // the request is carried out, its reply is lost
  kStatus,       // the request is refused with `value` as status (not carried out)
  kBadChecksum,  // SUM of the reply is off by 0xFF (xor)
  kNoEtx,        // ETX omitted, or replaced by `value` when value >= 0
  kNoCr,         // CR omitted, or replaced by `value` when value >= 0
  kSplit,        // reply written in `pieces` (rest as a last piece), `gapMs` between
  kDelay,        // `delayMs` before the reply
  kGarbage,      // `garbage` bytes, then `gapMs`, then the reply
  kOversize,     // header announces `length`; the real payload, ETX, SUM (over the
                 // bytes as sent) and CR follow
  kBootNoReply,  // boot loader: the message is handled, its reply byte is lost
  kBootBadSum,   // boot loader: address/data answered with the complement of the
                 // sum, and the address or page is thrown away
  kBootWReply,   // boot loader: "W" answered with `value` (not 0xAA: not ready)
  kUnplug,       // close the pty after a matching frame, or `atMs` after Start;
                 // replug after `replugMs` when that is >= 0
  kCorruptWrite, // a MEM_FLASH_WRITE is carried out with its data byte `value`
                 // (default 0) stored with the lowest bit flipped; the reply still
                 // says '0', as from a flash cell that went bad
};

struct Fault {
  FaultKind kind = FaultKind::kNoReply;
  // Which frames: command code (-1 any), CMD_MEMORY sub-command (-1 any), the
  // n-th frame received since Start (every frame counts, good or bad; 0 any).
  int cmd = -1;
  int sub = -1;
  int frame = 0;
  // n-th match since the fault was added (0: every match). For boot faults the
  // n-th message of `step`.
  int nth = 0;
  int count = -1;  // applications left; -1 forever
  int value = -1;
  std::vector<size_t> pieces;
  int gapMs = 0;
  int delayMs = 0;
  std::vector<uint8_t> garbage;
  uint16_t length = 0x0300;
  BootStep step = BootStep::kAny;
  int atMs = -1;
  int replugMs = -1;

  static Fault NoReply();
  static Fault Status(uint8_t status);
  static Fault BadChecksum();
  static Fault NoEtx(int replacement = -1);
  static Fault NoCr(int replacement = -1);
  static Fault Split(std::vector<size_t> pieces, int gapMs);
  static Fault Delay(int ms);
  static Fault Garbage(std::vector<uint8_t> bytes, int gapMs = 0);
  static Fault Oversize(uint16_t announcedLength = 0x0300);
  static Fault BootNoReply(BootStep step, int nth = 0);
  static Fault BootBadSum(BootStep step, int nth = 0);
  static Fault BootWReply(uint8_t value);
  static Fault UnplugAfter(int frames, int replugMs = -1);
  static Fault UnplugAt(int ms, int replugMs = -1);
  // Picks the flash writes (cmd 0x50, sub 0x84) by itself.
  static Fault CorruptWrite(int byteIndex = 0);

  Fault& Cmd(int code) { cmd = code; return *this; }
  Fault& Sub(int s) { sub = s; return *this; }
  Fault& OnFrame(int n) { frame = n; return *this; }
  Fault& Nth(int n) { nth = n; return *this; }
  Fault& Times(int n) { count = n; return *this; }

  bool IsBoot() const;
  std::string Describe() const;
};

// Parses the command-line form KIND[:key=value[,key=value...]], see the help text
// of qb2sim (FaultGrammar()). On failure returns false and says why in *error.
bool ParseFault(const std::string& text, Fault* out, std::string* error);
const char* FaultGrammar();

}  // namespace qb2sim
