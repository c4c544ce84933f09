// What the virtual unit is, apart from the wire: its data flash, real-time clock,
// application state, and the boot loader with its program memory. No I/O here;
// VirtualUnit feeds it requests and boot-loader bytes and sends what it answers.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace qb2sim {

constexpr uint8_t kCmdSetClock = 0x20;
constexpr uint8_t kCmdGetClock = 0x21;
constexpr uint8_t kCmdSetRange = 0x40;
constexpr uint8_t kCmdMemory = 0x50;
constexpr uint8_t kCmdAppStop = 0x60;
constexpr uint8_t kCmdAppResume = 0x61;
constexpr uint8_t kCmdBootEnter = 0x70;

constexpr uint8_t kMemFlashRead = 0x04;
constexpr uint8_t kMemFlashErase = 0x44;
constexpr uint8_t kMemFlashWrite = 0x84;
constexpr uint8_t kMemLedPattern = 0x83;

// Reply status bytes.
constexpr uint8_t kStatusOk = '0';           // done
constexpr uint8_t kStatusBadLength = '1';    // payload length wrong for the command
constexpr uint8_t kStatusBadArgument = '2';  // address/count/size/time out of range
constexpr uint8_t kStatusUnknown = '3';      // unknown command or memory sub-command

constexpr uint8_t kPreStopByte = 0x5C;

constexpr uint32_t kFlashSize = 0x20000;
constexpr uint32_t kFlashPage = 256;
constexpr uint32_t kMaxReadCount = 256;
constexpr uint32_t kProgramSize = 0x10000;
constexpr uint32_t kBootPage = 128;

// Boot-loader byte protocol.
constexpr uint8_t kBootErase = 'E';
constexpr uint8_t kBootWrite = 'W';
constexpr uint8_t kBootPageEnd = 'U';
constexpr uint8_t kBootFinish = 0xFF;
constexpr uint8_t kBootWriteReady = 0xAA;
constexpr uint8_t kBootAck = 0x06;  // erase done / page committed and verified
constexpr uint8_t kBootNak = 0x15;  // unknown block code / page verify failed

struct BootBlock {
  uint32_t start;
  uint32_t size;
  uint8_t code;
};
extern const std::array<BootBlock, 7> kBootBlocks;

// Days since 2000-01-01; a year is a leap year exactly when (year - 2000) % 4 == 0,
// which is the calendar from 2000 to 2099 (the clock's range).
constexpr int kLastDayNumber = 36524;  // 2099-12-31
int DayNumberOf(int year, int month, int day);
void DateOfDayNumber(int dayNumber, int* year, int* month, int* day);
uint8_t ToBcd(int v);
bool FromBcd(uint8_t b, int* v);  // false for a nibble above 9

struct ClockTime {
  int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
  bool operator==(const ClockTime& o) const {
    return year == o.year && month == o.month && day == o.day && hour == o.hour &&
           minute == o.minute && second == o.second;
  }
};

struct SetRangeRecord {
  uint32_t address = 0;
  uint16_t count = 0;
  uint8_t value = 0;
};

// One complete boot-loader message (the unit answers per message, not per byte).
enum class BootStep { kAny, kErase, kWrite, kAddress, kData, kPageEnd, kFinish };
const char* BootStepName(BootStep s);

struct BootMessage {
  BootStep step = BootStep::kAny;
  std::vector<uint8_t> bytes;
};

// How a fault bends the boot loader's answer to one message.
struct BootOverride {
  bool refuse = false;       // answer a wrong sum and throw the address/page away
  int writeReply = -1;       // answer "W" with this byte; not 0xAA means "not ready"
};

struct BootResult {
  bool reply = false;
  uint8_t value = 0;
  bool left = false;  // the download ended: back to the application
};

class UnitModel {
 public:
  using Clock = std::chrono::steady_clock;

  struct Reply {
    uint8_t status = kStatusOk;
    std::vector<uint8_t> payload;
  };

  explicit UnitModel(Clock::time_point now = Clock::now());

  // Executes one good request frame. CMD_BOOT_ENTER switches to the boot loader
  // when answered with kStatusOk; the caller sends the reply first.
  Reply Execute(uint8_t code, const std::vector<uint8_t>& payload, Clock::time_point now);

  // Boot loader: collects bytes into messages. Returns a message when one is
  // complete; a partial message older than kBootGapMs is thrown away first, so
  // the loader finds its way back after a host that gave up on it.
  static constexpr int kBootGapMs = 500;
  std::optional<BootMessage> BootFeed(uint8_t b, Clock::time_point now);
  BootResult BootExecute(const BootMessage& m, const BootOverride& o = {});

  // Power cycle (replug): the application runs again, the boot loader is left.
  void PowerCycle();

  bool InBootLoader() const { return boot_; }
  bool AppRunning() const { return appRunning_; }
  const std::vector<uint8_t>& Flash() const { return flash_; }
  bool SetFlash(uint32_t offset, const std::vector<uint8_t>& bytes);
  const std::vector<uint8_t>& Program() const { return program_; }
  bool SetProgram(uint32_t offset, const std::vector<uint8_t>& bytes);
  const std::vector<uint8_t>& ErasedBlocks() const { return erasedBlocks_; }
  const std::vector<uint16_t>& WrittenPages() const { return writtenPages_; }
  const std::optional<SetRangeRecord>& LastSetRange() const { return setRange_; }
  const std::optional<std::vector<uint8_t>>& LastLedPattern() const { return led_; }

  // Sets the clock as CMD_SET_CLOCK does; false when out of range.
  bool SetClock(int dayNumber, int hour, int minute, int second, Clock::time_point now);
  ClockTime ClockAt(Clock::time_point now) const;

 private:
  Reply Memory(const std::vector<uint8_t>& p);

  std::vector<uint8_t> flash_;
  std::vector<uint8_t> program_;
  bool appRunning_ = true;
  bool boot_ = false;
  int64_t clockBase_ = 0;  // seconds since 2000-01-01 00:00:00 at clockSetAt_
  Clock::time_point clockSetAt_;
  std::optional<SetRangeRecord> setRange_;
  std::optional<std::vector<uint8_t>> led_;
  std::vector<uint8_t> erasedBlocks_;
  std::vector<uint16_t> writtenPages_;

  // Boot-loader receive state.
  enum class BootState { kCommand, kEraseArgs, kAddress, kAddressHi, kData, kPageEnd };
  BootState bstate_ = BootState::kCommand;
  std::vector<uint8_t> bbuf_;
  Clock::time_point blast_;
  uint32_t pageAddress_ = 0;
  std::vector<uint8_t> pageData_;
};

}  // namespace qb2sim
