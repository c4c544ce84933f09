// State shared by the link's threads: the port, the flag word, the frame buffers
// and the reply flag. Every item has one writer per direction of the protocol; the
// orderings below are what make the lock-free hand-over sound.
//
// One request at a time. Nothing here locks TxFrame, RxFrame or ResponseReady: a
// second sender would overwrite the first one's frame, clear its reply flag and
// take its reply. What keeps requests apart is who may send: only the one worker
// thread sends requests that wait for a reply (sequence, flash job, download), and
// the dialog's one-shot commands (clock, ap-stop, ap-resume, boot-enter) send only
// while no worker runs. The dialog's thread never waits for a reply: the receiver
// traces every reply through it.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/port.h"
#include "platform/systhread.h"

// The open COM port: null when closed, the invalid value only between a failed
// open and the end of its receiver thread. Written only by the receiver thread
// (published once open, cleared before it closes the port); read by every thread
// that sends. A handle read here stays valid until the receiver is stopped, which
// the dialog does only once no worker runs: the worker never sees it closed.
extern std::atomic<PortHandleValue> PortHandle;
// Written by the dialog's thread (box 103) and the port watcher, read by the
// receiver when it starts.
extern std::atomic<int> PortNumber;

// LinkFlags bits. Set and cleared from different threads with atomic
// read-modify-write, so that no update of one bit undoes another. StopReceiver:
// set and cleared by the dialog's thread, read by the receiver. StopSequence: set
// by em-stop, cleared by em-start and the sequence's end message (dialog thread),
// read by the sequence. BootByteMode: set and cleared by the download (worker),
// read by the receiver.
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
// (offset 4) before SendFrame frames it in place. Written by whichever thread may
// send (see above); never read by another.
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

// Written and read by the dialog's thread only (open and close commands).
extern ThreadHandle ReceiverThread;

// Bytes waiting in the input queue of PortHandle; 0 when the query fails.
int PortBytesWaiting();
// The single raw byte 0x5C that must precede an application stop; returns 0.
int SendPreStopByte();
