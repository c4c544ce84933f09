#include "device/commands.h"

#include <cstring>

#include "device/clock.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"

int BuildClockPayload(unsigned char* out, const LocalTimeFields& time) {
  const unsigned char date[3] = {static_cast<unsigned char>(time.year - 2000), static_cast<unsigned char>(time.month),
                                 static_cast<unsigned char>(time.day)};
  unsigned short day = DayNumber(date);
  out[0] = static_cast<unsigned char>(day & 0xFF);
  out[1] = static_cast<unsigned char>(day >> 8);
  out[2] = ToBcd(static_cast<unsigned>(time.hour));
  out[3] = ToBcd(static_cast<unsigned>(time.minute));
  out[4] = ToBcd(static_cast<unsigned>(time.second));
  return 5;
}

int BuildSetRangePayload(unsigned char* out, uint32_t address, uint32_t count, unsigned char value) {
  PutAddress24(out, address);
  PutCount16(out + 3, count);
  out[5] = value;
  return 6;
}

int BuildFlashReadPayload(unsigned char* out, uint32_t address, uint32_t count) {
  out[0] = MEM_FLASH_READ;
  PutAddress24(out + 1, address);
  PutCount16(out + 4, count);
  return 6;
}

int BuildFlashErasePayload(unsigned char* out, uint32_t address, uint32_t size) {
  out[0] = MEM_FLASH_ERASE;
  PutAddress24(out + 1, address);
  PutCount16(out + 4, size);
  return 6;
}

int BuildFlashWritePayload(unsigned char* out, uint32_t address, const unsigned char* data, int count) {
  out[0] = MEM_FLASH_WRITE;
  PutAddress24(out + 1, address);
  if (count > 0) std::memmove(out + 4, data, static_cast<size_t>(count));
  return count + 4;
}

int BuildLedPatternPayload(unsigned char* out, const unsigned char* pattern, int count) {
  out[0] = MEM_LED_PATTERN;
  out[1] = out[2] = out[3] = 0;
  if (pattern && count > 0) std::memmove(out + 4, pattern, static_cast<size_t>(count));
  return (pattern ? count : 0) + 4;
}

void SendRequest(int code, int length) {
  // Cleared before the send: the reply to this request is the first frame that
  // arrives after this point, and nothing of an earlier one may pass for it.
  SetRxByte(1, 0);
  ClearResponseReady();
  SendFrame(code, length);
}

int PollReply(uint32_t boundMs, int refusedResult) {
  const uint32_t start = TickCountMs();
  for (;;) {
    if (ResponseReadySet()) return RxByte(1) == STATUS_SUCCESS ? DEVICE_OK : refusedResult;
    if (TickCountMs() - start > boundMs) break;  // never short of the bound
    SleepMs(1);
  }
  // One last look: a reply that came during the last sleep still counts.
  if (ResponseReadySet()) return RxByte(1) == STATUS_SUCCESS ? DEVICE_OK : refusedResult;
  return DEVICE_NO_REPLY;
}

int SendLedPattern(const unsigned char* pattern, int count) {
  SendRequest(CMD_MEMORY, BuildLedPatternPayload(TxPayload, pattern, count));
  return WaitReply();
}

void SendSetRange(uint32_t address, uint32_t count, unsigned char value) {
  SendRequest(CMD_SET_RANGE, BuildSetRangePayload(TxPayload, address, count, value));
}

int WriteFlashPage(const unsigned char* data, uint32_t address, int count) {
  SendRequest(CMD_MEMORY, BuildFlashWritePayload(TxPayload, address, data, count & 0xFFFF));
  return PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED);
}

int ReadFlash(uint32_t address, int count, unsigned char* out) {
  SendRequest(CMD_MEMORY, BuildFlashReadPayload(TxPayload, address, static_cast<uint32_t>(count)));
  int result = PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED);
  if (result != DEVICE_OK) return result;
  if ((RxByte(2) | RxByte(3) << 8) < count) return DEVICE_REFUSED_POLLED;
  CopyFromRxFrame(out, 4, count);
  return DEVICE_OK;
}

int EraseFlash(uint32_t address, uint32_t size) {
  SendRequest(CMD_MEMORY, BuildFlashErasePayload(TxPayload, address, size));
  return PollReply(kEraseReplyBoundMs, DEVICE_REFUSED_POLLED);
}

int StopDeviceApp() {
  SendRequest(CMD_APP_STOP, 0);
  return WaitReply();
}

int ResumeDeviceApp() {
  SendRequest(CMD_APP_RESUME, 0);
  return WaitReply();
}

int SetDeviceClock() {
  LocalTimeFields now;
  ReadLocalTime(&now);
  return SetDeviceClockTo(now);
}

int SetDeviceClockTo(const LocalTimeFields& time) {
  SendRequest(CMD_SET_CLOCK, BuildClockPayload(TxPayload, time));
  return WaitReply();
}

int ReadDeviceClock(DeviceTime* time) {
  SendRequest(CMD_GET_CLOCK, 0);
  int result = WaitReply();
  if (result == DEVICE_OK && time) {
    unsigned char bcd[6];
    CopyFromRxFrame(bcd, 4, 6);
    *time = DecodeDeviceTime(bcd);
  }
  return result;
}
