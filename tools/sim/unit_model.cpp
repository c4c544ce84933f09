#include "tools/sim/unit_model.h"

#include <algorithm>

#include "tools/sim/frame_codec.h"

namespace qb2sim {

const std::array<BootBlock, 7> kBootBlocks = {{
    {0x3000, 0x400, 0x0A},
    {0x3400, 0x400, 0x0B},
    {0x3800, 0x400, 0x0C},
    {0x3C00, 0x400, 0x0D},
    {0xA000, 0x2000, 0x03},
    {0xC000, 0x2000, 0x02},
    {0xE000, 0x1000, 0x01},
}};

namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int MonthLength(int yearOffset, int monthIndex) {
  return kMonthDays[monthIndex] + (monthIndex == 1 && yearOffset % 4 == 0 ? 1 : 0);
}

uint32_t Le24(const std::vector<uint8_t>& p, size_t at) {
  return p[at] | (static_cast<uint32_t>(p[at + 1]) << 8) | (static_cast<uint32_t>(p[at + 2]) << 16);
}

uint16_t Le16(const std::vector<uint8_t>& p, size_t at) {
  return static_cast<uint16_t>(p[at] | (p[at + 1] << 8));
}

const BootBlock* BlockByCode(uint8_t code) {
  for (const auto& b : kBootBlocks)
    if (b.code == code) return &b;
  return nullptr;
}

bool InBootBlock(uint32_t address) {
  for (const auto& b : kBootBlocks)
    if (address >= b.start && address < b.start + b.size) return true;
  return false;
}

}  // namespace

int DayNumberOf(int year, int month, int day) {
  const int y = year - 2000;
  int n = (y / 4) * 1461 + (y % 4) * 365 + (y % 4 != 0 ? 1 : 0);
  for (int i = 0; i < month - 1 && i < 12; ++i) n += MonthLength(y, i);
  return n + day - 1;
}

void DateOfDayNumber(int d, int* year, int* month, int* day) {
  int y = (d / 1461) * 4;
  int r = d % 1461;
  if (r >= 366) {  // past the leap year that opens each group of four
    r -= 366;
    y += 1 + r / 365;
    r %= 365;
  }
  int m = 0;
  while (r >= MonthLength(y, m)) r -= MonthLength(y, m++);
  *year = 2000 + y;
  *month = m + 1;
  *day = r + 1;
}

uint8_t ToBcd(int v) { return static_cast<uint8_t>(((v / 10) % 10) << 4 | (v % 10)); }

bool FromBcd(uint8_t b, int* v) {
  if ((b >> 4) > 9 || (b & 0x0F) > 9) return false;
  *v = (b >> 4) * 10 + (b & 0x0F);
  return true;
}

const char* BootStepName(BootStep s) {
  switch (s) {
    case BootStep::kAny: return "any";
    case BootStep::kErase: return "erase";
    case BootStep::kWrite: return "write";
    case BootStep::kAddress: return "address";
    case BootStep::kData: return "data";
    case BootStep::kPageEnd: return "end";
    case BootStep::kFinish: return "finish";
  }
  return "?";
}

UnitModel::UnitModel(Clock::time_point now)
    : flash_(kFlashSize, 0xFF), program_(kProgramSize, 0xFF), clockSetAt_(now) {}

bool UnitModel::SetFlash(uint32_t offset, const std::vector<uint8_t>& bytes) {
  if (offset > kFlashSize || bytes.size() > kFlashSize - offset) return false;
  std::copy(bytes.begin(), bytes.end(), flash_.begin() + offset);
  return true;
}

bool UnitModel::SetProgram(uint32_t offset, const std::vector<uint8_t>& bytes) {
  if (offset > kProgramSize || bytes.size() > kProgramSize - offset) return false;
  std::copy(bytes.begin(), bytes.end(), program_.begin() + offset);
  return true;
}

bool UnitModel::SetClock(int dayNumber, int hour, int minute, int second, Clock::time_point now) {
  if (dayNumber < 0 || dayNumber > kLastDayNumber || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 59)
    return false;
  clockBase_ = static_cast<int64_t>(dayNumber) * 86400 + hour * 3600 + minute * 60 + second;
  clockSetAt_ = now;
  return true;
}

ClockTime UnitModel::ClockAt(Clock::time_point now) const {
  int64_t s = clockBase_ + std::chrono::duration_cast<std::chrono::seconds>(now - clockSetAt_).count();
  if (s < 0) s = 0;
  // Like the RTC's two-digit year, the clock rolls from 2099 over to 2000.
  s %= static_cast<int64_t>(kLastDayNumber + 1) * 86400;
  ClockTime t;
  DateOfDayNumber(static_cast<int>(s / 86400), &t.year, &t.month, &t.day);
  const int sod = static_cast<int>(s % 86400);
  t.hour = sod / 3600;
  t.minute = sod / 60 % 60;
  t.second = sod % 60;
  return t;
}

UnitModel::Reply UnitModel::Execute(uint8_t code, const std::vector<uint8_t>& p,
                                    Clock::time_point now) {
  const auto length = [&](size_t n) { return p.size() == n; };
  switch (code) {
    case kCmdSetClock: {
      if (!length(5)) return {kStatusBadLength, {}};
      int h, m, s;
      if (!FromBcd(p[2], &h) || !FromBcd(p[3], &m) || !FromBcd(p[4], &s) ||
          !SetClock(Le16(p, 0), h, m, s, now))
        return {kStatusBadArgument, {}};
      return {};
    }
    case kCmdGetClock: {
      if (!length(0)) return {kStatusBadLength, {}};
      const ClockTime t = ClockAt(now);
      return {kStatusOk,
              {ToBcd(t.year - 2000), ToBcd(t.month), ToBcd(t.day), ToBcd(t.hour), ToBcd(t.minute),
               ToBcd(t.second)}};
    }
    case kCmdSetRange:
      if (!length(6)) return {kStatusBadLength, {}};
      setRange_ = SetRangeRecord{Le24(p, 0), Le16(p, 3), p[5]};
      return {};
    case kCmdMemory:
      return Memory(p);
    case kCmdAppStop:
    case kCmdAppResume:
      if (!length(0)) return {kStatusBadLength, {}};
      appRunning_ = code == kCmdAppResume;
      return {};
    case kCmdBootEnter:
      if (!length(0)) return {kStatusBadLength, {}};
      boot_ = true;
      bstate_ = BootState::kCommand;
      bbuf_.clear();
      return {};
    default:
      return {kStatusUnknown, {}};
  }
}

UnitModel::Reply UnitModel::Memory(const std::vector<uint8_t>& p) {
  if (p.empty()) return {kStatusBadLength, {}};
  switch (p[0]) {
    case kMemFlashRead: {
      if (p.size() != 6) return {kStatusBadLength, {}};
      const uint32_t a = Le24(p, 1), n = Le16(p, 4);
      if (n == 0 || n > kMaxReadCount || a + n > kFlashSize) return {kStatusBadArgument, {}};
      return {kStatusOk, std::vector<uint8_t>(flash_.begin() + a, flash_.begin() + a + n)};
    }
    case kMemFlashErase: {
      if (p.size() != 6) return {kStatusBadLength, {}};
      const uint32_t a = Le24(p, 1), n = Le16(p, 4);
      // Size 0 is what a 16-bit field makes of a 64 KiB request; erasing nothing
      // and saying "done" would hide that, so it is refused.
      if (n == 0 || a + n > kFlashSize) return {kStatusBadArgument, {}};
      std::fill(flash_.begin() + a, flash_.begin() + a + n, 0xFF);
      return {};
    }
    case kMemFlashWrite: {
      if (p.size() < 5 || p.size() > 4 + kFlashPage) return {kStatusBadLength, {}};
      const uint32_t a = Le24(p, 1), n = static_cast<uint32_t>(p.size() - 4);
      // The flash programs one 256-byte page at a time; a write that runs over
      // the end of its page would wrap inside the page on the real part.
      if (a + n > kFlashSize || (a % kFlashPage) + n > kFlashPage) return {kStatusBadArgument, {}};
      // Programming only clears bits.
      for (uint32_t i = 0; i < n; ++i) flash_[a + i] &= p[4 + i];
      return {};
    }
    case kMemLedPattern:
      if (p.size() < 4) return {kStatusBadLength, {}};
      if (p[1] != 0 || p[2] != 0 || p[3] != 0) return {kStatusBadArgument, {}};
      led_ = std::vector<uint8_t>(p.begin() + 4, p.end());
      return {};
    default:
      return {kStatusUnknown, {}};
  }
}

std::optional<BootMessage> UnitModel::BootFeed(uint8_t b, Clock::time_point now) {
  const bool partial = bstate_ == BootState::kEraseArgs || bstate_ == BootState::kAddressHi ||
                       bstate_ == BootState::kData;
  if (partial && now - blast_ > std::chrono::milliseconds(kBootGapMs)) {
    bstate_ = bstate_ == BootState::kEraseArgs ? BootState::kCommand : BootState::kAddress;
    bbuf_.clear();
  }
  blast_ = now;
  switch (bstate_) {
    case BootState::kCommand:
      if (b == kBootErase) {
        bbuf_.assign(1, b);
        bstate_ = BootState::kEraseArgs;
        return std::nullopt;
      }
      if (b == kBootWrite) return BootMessage{BootStep::kWrite, {b}};
      return BootMessage{BootStep::kAny, {b}};  // not a command: ignored
    case BootState::kEraseArgs:
      bbuf_.push_back(b);
      if (bbuf_.size() < 3) return std::nullopt;
      bstate_ = BootState::kCommand;
      return BootMessage{BootStep::kErase, bbuf_};
    case BootState::kPageEnd:
      if (b == kBootPageEnd) return BootMessage{BootStep::kPageEnd, {b}};
      // The host gave up on this page (no or wrong reply): what follows is the
      // next page address, or the end of the download.
      pageData_.clear();
      [[fallthrough]];
    case BootState::kAddress:
      // Page addresses are multiples of 128, so their low byte is never 0xFF.
      if (b == kBootFinish) return BootMessage{BootStep::kFinish, {b}};
      bbuf_.assign(1, b);
      bstate_ = BootState::kAddressHi;
      return std::nullopt;
    case BootState::kAddressHi:
      bbuf_.push_back(b);
      return BootMessage{BootStep::kAddress, bbuf_};
    case BootState::kData:
      bbuf_.push_back(b);
      if (bbuf_.size() < kBootPage) return std::nullopt;
      return BootMessage{BootStep::kData, bbuf_};
  }
  return std::nullopt;
}

BootResult UnitModel::BootExecute(const BootMessage& m, const BootOverride& o) {
  BootResult r;
  switch (m.step) {
    case BootStep::kAny:
      break;
    case BootStep::kErase: {
      const BootBlock* blk = m.bytes[1] == m.bytes[2] ? BlockByCode(m.bytes[1]) : nullptr;
      r.reply = true;
      r.value = blk ? kBootAck : kBootNak;
      if (blk) {
        std::fill(program_.begin() + blk->start, program_.begin() + blk->start + blk->size, 0xFF);
        erasedBlocks_.push_back(blk->code);
      }
      break;
    }
    case BootStep::kWrite:
      r.reply = true;
      r.value = o.writeReply >= 0 ? static_cast<uint8_t>(o.writeReply) : kBootWriteReady;
      bstate_ = r.value == kBootWriteReady ? BootState::kAddress : BootState::kCommand;
      break;
    case BootStep::kAddress: {
      const uint32_t a = m.bytes[0] | (m.bytes[1] << 8);
      const uint8_t sum = SumBytes(m.bytes.data(), 2);
      const bool ok = !o.refuse && a % kBootPage == 0 && InBootBlock(a);
      r.reply = true;
      r.value = ok ? sum : static_cast<uint8_t>(~sum);
      bbuf_.clear();
      bstate_ = ok ? BootState::kData : BootState::kAddress;
      pageAddress_ = a;
      break;
    }
    case BootStep::kData: {
      const uint8_t sum = SumBytes(m.bytes.data(), m.bytes.size());
      r.reply = true;
      r.value = o.refuse ? static_cast<uint8_t>(~sum) : sum;
      if (o.refuse) {
        bstate_ = BootState::kAddress;
      } else {
        pageData_ = m.bytes;
        bstate_ = BootState::kPageEnd;
      }
      bbuf_.clear();
      break;
    }
    case BootStep::kPageEnd: {
      if (pageData_.size() != kBootPage) {  // no page pending: nothing to commit
        r.reply = true;
        r.value = kBootNak;
        bstate_ = BootState::kAddress;
        break;
      }
      bool verified = true;
      for (uint32_t i = 0; i < kBootPage; ++i) {
        uint8_t& cell = program_[pageAddress_ + i];
        cell &= pageData_[i];  // a page on unerased memory only clears bits
        verified = verified && cell == pageData_[i];
      }
      writtenPages_.push_back(static_cast<uint16_t>(pageAddress_));
      pageData_.clear();
      r.reply = true;
      r.value = verified ? kBootAck : kBootNak;
      bstate_ = BootState::kAddress;
      break;
    }
    case BootStep::kFinish:
      boot_ = false;
      appRunning_ = true;
      bstate_ = BootState::kCommand;
      bbuf_.clear();
      r.left = true;
      break;
  }
  return r;
}

void UnitModel::PowerCycle() {
  boot_ = false;
  appRunning_ = true;
  bstate_ = BootState::kCommand;
  bbuf_.clear();
  pageData_.clear();
}

}  // namespace qb2sim
