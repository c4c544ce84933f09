// The device's commands: codes, payload layouts and the operations that send a
// request and wait for its reply. Every operation here runs on the worker thread
// (the production sequence, a flash job); the dialog's bench buttons only use the
// codes and payload builders, since they never wait.
#pragma once
#include <cstdint>

#include "device/clock.h"
#include "platform/systhread.h"

// Command codes (the frame's code byte of a request).
enum : unsigned char {
  CMD_SET_CLOCK = 0x20,
  CMD_GET_CLOCK = 0x21,
  CMD_SET_RANGE = 0x40,
  CMD_MEMORY = 0x50,
  CMD_APP_STOP = 0x60,
  CMD_APP_RESUME = 0x61,
  CMD_BOOT_ENTER = 0x70,
};

// CMD_MEMORY sub-commands (payload byte 0).
enum : unsigned char {
  MEM_FLASH_READ = 0x04,
  MEM_FLASH_ERASE = 0x44,
  MEM_FLASH_WRITE = 0x84,
  MEM_LED_PATTERN = 0x83,
};

// The reply status byte of success; any other value is a refusal.
const unsigned char STATUS_SUCCESS = '0';

// Results of the sending operations; callers only tell zero from non-zero.
enum {
  DEVICE_OK = 0,
  DEVICE_NO_REPLY = 3,        // nothing within the operation's bound
  DEVICE_REFUSED = 4,         // a reply with another status (operations that use WaitReply)
  DEVICE_REFUSED_POLLED = 5,  // the same for WriteFlashPage and EraseFlash
};

// How long the polled operations wait for their reply. A page write is answered
// as soon as the device has programmed 256 bytes (milliseconds), so it gets what
// every other request gets, about 2 s. An erase of 32 KiB takes a serial flash up
// to a few seconds (a sector erase takes well under a second, a chip erase
// several); 5 s covers it with room to spare and still gives up on a device that
// will never answer.
const uint32_t kPageWriteReplyBoundMs = 2020;
const uint32_t kEraseReplyBoundMs = 5000;

// Field encodings: addresses are 24 bits, counts and sizes 16 bits, least
// significant byte first; higher bits are not sent.
inline void PutAddress24(unsigned char* out, uint32_t address) {
  out[0] = static_cast<unsigned char>(address & 0xFF);
  out[1] = static_cast<unsigned char>((address >> 8) & 0xFF);
  out[2] = static_cast<unsigned char>((address >> 16) & 0xFF);
}
inline void PutCount16(unsigned char* out, uint32_t count) {
  out[0] = static_cast<unsigned char>(count & 0xFF);
  out[1] = static_cast<unsigned char>((count >> 8) & 0xFF);
}

// Payload builders: write the payload at out and return its length.
// CMD_SET_CLOCK: day number (2 bytes), hour, minute, second in BCD.
int BuildClockPayload(unsigned char* out, const LocalTimeFields& time);
// CMD_SET_RANGE: address, count, value.
int BuildSetRangePayload(unsigned char* out, uint32_t address, uint32_t count, unsigned char value);
// CMD_MEMORY reads and erases: sub-command, address, count or size.
int BuildFlashReadPayload(unsigned char* out, uint32_t address, uint32_t count);
int BuildFlashErasePayload(unsigned char* out, uint32_t address, uint32_t size);
// CMD_MEMORY MEM_FLASH_WRITE: sub-command, address, then count data bytes.
int BuildFlashWritePayload(unsigned char* out, uint32_t address, const unsigned char* data, int count);
// CMD_MEMORY MEM_LED_PATTERN: sub-command, three zero bytes, then count pattern
// bytes (none when pattern is null).
int BuildLedPatternPayload(unsigned char* out, const unsigned char* pattern, int count);

// The request handshake: the reply status cleared, ResponseReady cleared, then
// the frame (payload already in TxPayload) framed, traced and sent.
void SendRequest(int code, int length);
// Looks at ResponseReady every millisecond for up to boundMs: 0 for status "0",
// refusedResult for any other status, DEVICE_NO_REPLY when nothing came. A page
// takes a fixed 71 ms on the 38400-baud wire, so a 10 ms poll started with the
// request would come round about 9 ms after every reply: over a 64 or 128 KiB
// transfer that is an eighth of the time spent waiting on the poll, not the wire.
int PollReply(uint32_t boundMs, int refusedResult);

// The sending operations. Each writes its payload into TxPayload, clears the reply
// state, sends and waits: 0, or 3 / 4 / 5 as above.
int SendLedPattern(const unsigned char* pattern, int count);
// Sends without waiting: the caller watches ResponseReady itself.
void SendSetRange(uint32_t address, uint32_t count, unsigned char value);
int WriteFlashPage(const unsigned char* data, uint32_t address, int count);
// Reads count bytes (1 to 256) of flash at address into out: 0, DEVICE_NO_REPLY,
// or DEVICE_REFUSED_POLLED (also for a reply shorter than asked, whose missing
// part would be whatever an earlier frame left in RxFrame). Bounded like a page
// write.
int ReadFlash(uint32_t address, int count, unsigned char* out);
int EraseFlash(uint32_t address, uint32_t size);
int StopDeviceApp();
int ResumeDeviceApp();
// Reads the local time itself.
int SetDeviceClock();
// Sets the clock to time (year in full, 2000-2099).
int SetDeviceClockTo(const LocalTimeFields& time);
// On 0, *time holds the unit's clock decoded from the reply's six BCD bytes
// (RxFrame offsets 4 to 9); time may be null.
int ReadDeviceClock(DeviceTime* time);
