// State shared by the link's threads: the port, the flag word, the frame buffers
// and the reply flag. Every item has one writer per direction of the protocol; the
// orderings below are what make the lock-free hand-over sound.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/port.h"
#include "platform/systhread.h"

// The open COM port: null when closed, the invalid value only between a failed
// open and the end of its receiver thread.
extern std::atomic<PortHandleValue> PortHandle;
extern std::atomic<int> PortNumber;

// LinkFlags bits. Set and cleared from different threads with atomic
// read-modify-write, so that no update of one bit undoes another.
enum : uint16_t {
  StopReceiver = 1u << 0,
  StopSequence = 1u << 1,
  BootByteMode = 1u << 3,
};
extern std::atomic<uint16_t> LinkFlags;
inline void SetLinkFlag(uint16_t bit) { LinkFlags.fetch_or(bit, std::memory_order_acq_rel); }
inline void ClearLinkFlag(uint16_t bit) {
  LinkFlags.fetch_and(static_cast<uint16_t>(~bit), std::memory_order_acq_rel);
}
inline bool LinkFlagSet(uint16_t bit) { return (LinkFlags.load(std::memory_order_acquire) & bit) != 0; }

const int kFrameBufferSize = 512;
const int kMaxPayload = kFrameBufferSize - 7;  // STX, code, 2 length bytes, ETX, SUM, CR

// The frame to be sent is built in TxFrame; callers put the payload at TxPayload
// (offset 4) before SendFrame frames it in place.
extern unsigned char TxFrame[kFrameBufferSize];
extern unsigned char* const TxPayload;

// The last received frame (offset 1 the status, offset 4 the payload), or in
// boot-loader byte mode the last byte at offset 0. Bytes are written by the
// receiver and, for the status byte, by a sender before its request; each byte is
// an atomic so those writes never race, and ResponseReady orders the whole frame.
extern std::atomic<unsigned char> RxFrame[kFrameBufferSize];
inline unsigned char RxByte(int offset) { return RxFrame[offset].load(std::memory_order_relaxed); }
inline void SetRxByte(int offset, unsigned char value) { RxFrame[offset].store(value, std::memory_order_relaxed); }
void CopyFromRxFrame(unsigned char* out, int offset, int count);

// 1 once a reply is in RxFrame. Set only by the receiver (a release, after the
// frame is complete), cleared only by senders before they send.
extern std::atomic<int> ResponseReady;
inline void SetResponseReady() { ResponseReady.store(1, std::memory_order_release); }
inline void ClearResponseReady() { ResponseReady.store(0, std::memory_order_release); }
inline bool ResponseReadySet() { return ResponseReady.load(std::memory_order_acquire) != 0; }

extern ThreadHandle ReceiverThread;

// Bytes waiting in the input queue of PortHandle; 0 when the query fails.
int PortBytesWaiting();
// The single raw byte 0x5C that must precede an application stop; returns 0.
int SendPreStopByte();
