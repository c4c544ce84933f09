#include "tools/sim/fault.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qb2sim {

namespace {

Fault Make(FaultKind k) {
  Fault f;
  f.kind = k;
  return f;
}

bool ParseNumber(const std::string& s, long lo, long hi, long* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ParseList(const std::string& s, long lo, long hi, std::vector<long>* out) {
  size_t at = 0;
  while (true) {
    const size_t plus = s.find('+', at);
    long v;
    if (!ParseNumber(s.substr(at, plus == std::string::npos ? std::string::npos : plus - at), lo,
                     hi, &v))
      return false;
    out->push_back(v);
    if (plus == std::string::npos) return true;
    at = plus + 1;
  }
}

bool ParseStep(const std::string& s, BootStep* out) {
  static const std::pair<const char*, BootStep> kNames[] = {
      {"any", BootStep::kAny},         {"erase", BootStep::kErase}, {"write", BootStep::kWrite},
      {"address", BootStep::kAddress}, {"data", BootStep::kData},   {"end", BootStep::kPageEnd},
  };
  for (const auto& n : kNames)
    if (s == n.first) {
      *out = n.second;
      return true;
    }
  return false;
}

const std::pair<const char*, FaultKind> kKinds[] = {
    {"no-reply", FaultKind::kNoReply},
    {"status", FaultKind::kStatus},
    {"bad-sum", FaultKind::kBadChecksum},
    {"no-etx", FaultKind::kNoEtx},
    {"no-cr", FaultKind::kNoCr},
    {"split", FaultKind::kSplit},
    {"delay", FaultKind::kDelay},
    {"garbage", FaultKind::kGarbage},
    {"oversize", FaultKind::kOversize},
    {"boot-no-reply", FaultKind::kBootNoReply},
    {"boot-bad-sum", FaultKind::kBootBadSum},
    {"boot-w-reply", FaultKind::kBootWReply},
    {"unplug", FaultKind::kUnplug},
    {"corrupt-write", FaultKind::kCorruptWrite},
};

const char* KindName(FaultKind k) {
  for (const auto& n : kKinds)
    if (n.second == k) return n.first;
  return "?";
}

}  // namespace

Fault Fault::NoReply() { return Make(FaultKind::kNoReply); }

Fault Fault::CorruptWrite(int byteIndex) {
  Fault f = Make(FaultKind::kCorruptWrite);
  f.cmd = 0x50;
  f.sub = 0x84;
  f.value = byteIndex;
  return f;
}

Fault Fault::Status(uint8_t status) {
  Fault f = Make(FaultKind::kStatus);
  f.value = status;
  return f;
}

Fault Fault::BadChecksum() { return Make(FaultKind::kBadChecksum); }

Fault Fault::NoEtx(int replacement) {
  Fault f = Make(FaultKind::kNoEtx);
  f.value = replacement;
  return f;
}

Fault Fault::NoCr(int replacement) {
  Fault f = Make(FaultKind::kNoCr);
  f.value = replacement;
  return f;
}

Fault Fault::Split(std::vector<size_t> pieces, int gapMs) {
  Fault f = Make(FaultKind::kSplit);
  f.pieces = std::move(pieces);
  f.gapMs = gapMs;
  return f;
}

Fault Fault::Delay(int ms) {
  Fault f = Make(FaultKind::kDelay);
  f.delayMs = ms;
  return f;
}

Fault Fault::Garbage(std::vector<uint8_t> bytes, int gapMs) {
  Fault f = Make(FaultKind::kGarbage);
  f.garbage = std::move(bytes);
  f.gapMs = gapMs;
  return f;
}

Fault Fault::Oversize(uint16_t announcedLength) {
  Fault f = Make(FaultKind::kOversize);
  f.length = announcedLength;
  return f;
}

Fault Fault::BootNoReply(BootStep step, int nth) {
  Fault f = Make(FaultKind::kBootNoReply);
  f.step = step;
  f.nth = nth;
  return f;
}

Fault Fault::BootBadSum(BootStep step, int nth) {
  Fault f = Make(FaultKind::kBootBadSum);
  f.step = step;
  f.nth = nth;
  return f;
}

Fault Fault::BootWReply(uint8_t value) {
  Fault f = Make(FaultKind::kBootWReply);
  f.step = BootStep::kWrite;
  f.value = value;
  return f;
}

Fault Fault::UnplugAfter(int frames, int replugMs) {
  Fault f = Make(FaultKind::kUnplug);
  f.frame = frames;
  f.count = 1;
  f.replugMs = replugMs;
  return f;
}

Fault Fault::UnplugAt(int ms, int replugMs) {
  Fault f = Make(FaultKind::kUnplug);
  f.atMs = ms;
  f.count = 1;
  f.replugMs = replugMs;
  return f;
}

bool Fault::IsBoot() const {
  return kind == FaultKind::kBootNoReply || kind == FaultKind::kBootBadSum ||
         kind == FaultKind::kBootWReply;
}

std::string Fault::Describe() const {
  std::string s = KindName(kind);
  char buf[64];
  const auto add = [&](const char* fmt, long v) {
    std::snprintf(buf, sizeof buf, fmt, v);
    s += buf;
  };
  if (IsBoot()) {
    s += " step=";
    s += BootStepName(step);
  }
  if (cmd >= 0) add(" cmd=0x%02lX", cmd);
  if (sub >= 0) add(" sub=0x%02lX", sub);
  if (frame > 0) add(" frame=%ld", frame);
  if (nth > 0) add(" nth=%ld", nth);
  if (value >= 0) add(" value=0x%02lX", value);
  if (kind == FaultKind::kSplit) {
    s += " pieces=";
    for (size_t i = 0; i < pieces.size(); ++i) add(i ? "+%ld" : "%ld", static_cast<long>(pieces[i]));
  }
  if (gapMs > 0) add(" gap=%ldms", gapMs);
  if (delayMs > 0) add(" delay=%ldms", delayMs);
  if (kind == FaultKind::kGarbage) add(" bytes=%ld", static_cast<long>(garbage.size()));
  if (kind == FaultKind::kOversize) add(" len=0x%04lX", length);
  if (atMs >= 0) add(" at=%ldms", atMs);
  if (replugMs >= 0) add(" replug=%ldms", replugMs);
  return s;
}

const char* FaultGrammar() {
  return
      "  FAULT is KIND[:KEY=VALUE[,KEY=VALUE...]]; numbers are decimal or 0x-hex,\n"
      "  lists are joined with '+'. Frame faults pick their requests with\n"
      "    cmd=C (command code)  sub=S (CMD_MEMORY sub-command)  frame=N (N-th frame\n"
      "    since start, bad ones included)  nth=N (N-th matching frame only)\n"
      "    count=N (apply N times; default forever)\n"
      "  no-reply                     carry the request out, send no reply\n"
      "  status:value=B               refuse the request with status byte B\n"
      "  bad-sum                      reply with SUM xor 0xFF\n"
      "  no-etx[:value=B]             reply without ETX (or with B in its place)\n"
      "  no-cr[:value=B]              reply without CR (or with B in its place)\n"
      "  split:pieces=2+5,gap=MS      write the reply in pieces (the rest last),\n"
      "                               MS between pieces\n"
      "  delay:ms=MS                  wait MS before the reply\n"
      "  garbage:bytes=B+B...[,gap=MS]  stray bytes, MS pause, then the reply\n"
      "  oversize[:len=L]             header announces payload length L (default\n"
      "                               0x300); the real payload, ETX, SUM over the\n"
      "                               bytes as sent, and CR follow\n"
      "  boot-no-reply[:step=S]       boot loader handles the message, drops the reply;\n"
      "                               S = erase|write|address|data|end|any\n"
      "  boot-bad-sum:step=S          boot loader answers the complement of the sum and\n"
      "                               refuses the address or page (S = address|data)\n"
      "  boot-w-reply:value=B         boot loader answers \"W\" with B\n"
      "  unplug:after=N[,replug=MS]   unplug once the host has read the reply to the\n"
      "                               N-th frame (waits 1 s at most)\n"
      "  unplug:at=MS[,replug=MS]     unplug MS after start; replug MS later\n"
      "  corrupt-write[:value=N]      a flash write (cmd 0x50 sub 0x84 unless given) is\n"
      "                               stored with its data byte N (default 0) changed\n"
      "                               in the lowest bit, and answered '0' all the same\n"
      "  Boot faults take nth=N (N-th message of that step) and count=N too.\n";
}

bool ParseFault(const std::string& text, Fault* out, std::string* error) {
  const auto fail = [&](const std::string& why) {
    *error = "fault '" + text + "': " + why;
    return false;
  };
  const size_t colon = text.find(':');
  const std::string kind = text.substr(0, colon);
  Fault f;
  bool known = false;
  for (const auto& k : kKinds)
    if (kind == k.first) {
      f.kind = k.second;
      known = true;
    }
  if (!known) return fail("unknown kind '" + kind + "'");
  if (f.kind == FaultKind::kUnplug) f.count = 1;
  if (f.kind == FaultKind::kCorruptWrite) {
    f.cmd = 0x50;
    f.sub = 0x84;
  }
  if (f.kind == FaultKind::kBootWReply) f.step = BootStep::kWrite;

  bool haveValue = false, havePieces = false, haveBytes = false, haveWhen = false, haveStep = false;
  std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return fail("'" + item + "' is not KEY=VALUE");
    const std::string key = item.substr(0, eq), val = item.substr(eq + 1);
    long v = 0;
    const auto num = [&](long lo, long hi) {
      if (!ParseNumber(val, lo, hi, &v)) return fail("bad value for " + key);
      return true;
    };
    if (key == "cmd") {
      if (!num(0, 255)) return false;
      f.cmd = static_cast<int>(v);
    } else if (key == "sub") {
      if (!num(0, 255)) return false;
      f.sub = static_cast<int>(v);
    } else if (key == "frame" || key == "after") {
      if (!num(1, 1L << 30)) return false;
      f.frame = static_cast<int>(v);
      haveWhen = true;
    } else if (key == "nth") {
      if (!num(1, 1L << 30)) return false;
      f.nth = static_cast<int>(v);
    } else if (key == "count") {
      if (!num(-1, 1L << 30)) return false;
      f.count = static_cast<int>(v);
    } else if (key == "value") {
      if (!num(0, 255)) return false;
      f.value = static_cast<int>(v);
      haveValue = true;
    } else if (key == "gap") {
      if (!num(0, 600000)) return false;
      f.gapMs = static_cast<int>(v);
    } else if (key == "ms") {
      if (!num(0, 600000)) return false;
      f.delayMs = static_cast<int>(v);
    } else if (key == "len") {
      if (!num(0, 0xFFFF)) return false;
      f.length = static_cast<uint16_t>(v);
    } else if (key == "at") {
      if (!num(0, 1L << 30)) return false;
      f.atMs = static_cast<int>(v);
      haveWhen = true;
    } else if (key == "replug") {
      if (!num(0, 1L << 30)) return false;
      f.replugMs = static_cast<int>(v);
    } else if (key == "pieces") {
      std::vector<long> l;
      if (!ParseList(val, 1, 0xFFFF, &l)) return fail("bad pieces");
      f.pieces.assign(l.begin(), l.end());
      havePieces = true;
    } else if (key == "bytes") {
      std::vector<long> l;
      if (!ParseList(val, 0, 255, &l)) return fail("bad bytes");
      f.garbage.assign(l.begin(), l.end());
      haveBytes = true;
    } else if (key == "step") {
      if (!ParseStep(val, &f.step)) return fail("unknown step '" + val + "'");
      haveStep = true;
    } else {
      return fail("unknown key '" + key + "'");
    }
  }
  if ((f.kind == FaultKind::kStatus || f.kind == FaultKind::kBootWReply) && !haveValue)
    return fail("needs value=");
  if (f.kind == FaultKind::kDelay && f.delayMs == 0) return fail("needs ms=");
  if (f.kind == FaultKind::kSplit && !havePieces) return fail("needs pieces=");
  if (f.kind == FaultKind::kGarbage && !haveBytes) return fail("needs bytes=");
  if (f.kind == FaultKind::kUnplug && !haveWhen) return fail("needs after= or at=");
  if (f.kind == FaultKind::kBootBadSum &&
      (!haveStep || (f.step != BootStep::kAddress && f.step != BootStep::kData)))
    return fail("needs step=address or step=data");
  *out = f;
  return true;
}

}  // namespace qb2sim
