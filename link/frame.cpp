#include "link/frame.h"

#include <cstdio>
#include <cstring>

#include "link/link.h"
#include "operator/outlets.h"

std::atomic<PortHandleValue> PortHandle{nullptr};
std::atomic<int> PortNumber{0};
std::atomic<uint16_t> LinkFlags{0};
unsigned char TxFrame[kFrameBufferSize];
unsigned char* const TxPayload = TxFrame + 4;
std::atomic<unsigned char> RxFrame[kFrameBufferSize];
std::atomic<int> ResponseReady{0};
ThreadHandle ReceiverThread = nullptr;

void CopyFromRxFrame(unsigned char* out, int offset, int count) {
  for (int i = 0; i < count && offset + i < kFrameBufferSize; ++i) out[i] = RxByte(offset + i);
}

void FormatTraceLine(char direction, char* buffer, const unsigned char* bytes, int length) {
  int pos = std::snprintf(buffer, kTraceLineSize, "%c-%3d ", direction, length);
  int count = length > 64 ? 64 : length;
  for (int i = 0; i < count && pos + 3 <= kTraceLineSize; ++i)
    pos += std::snprintf(buffer + pos, static_cast<size_t>(kTraceLineSize - pos), "%02X", bytes[i]);
}

int SendFrame(int code, int length) {
  length &= 0xFFFF;
  if (length > kMaxPayload) return 0;  // ETX and the sum would land past TxFrame
  unsigned sum = kStx;
  TxFrame[0] = kStx;
  TxFrame[1] = static_cast<unsigned char>(code);
  sum += TxFrame[1];
  TxFrame[2] = static_cast<unsigned char>(length & 0xFF);
  TxFrame[3] = static_cast<unsigned char>(length >> 8);
  sum += TxFrame[2] + TxFrame[3];
  for (int i = 0; i < length; ++i) sum += TxPayload[i];
  TxFrame[4 + length] = kEtx;
  sum += kEtx;
  TxFrame[5 + length] = static_cast<unsigned char>(sum & 0xFF);
  TxFrame[6 + length] = kCr;

  char line[kTraceLineSize];
  FormatTraceLine('T', line, TxFrame, length + 7);
  AppendTrace(line);  // traced before the bytes go out
  return PortWrite(PortHandle.load(), TxFrame, length + 7);
}

RxFrameOutcome CheckRxFrame(const unsigned char* frameFromCode) {
  const unsigned char* frame = frameFromCode - 1;  // offset 0 held STX, or the receiver would not be here
  unsigned sum = kStx;
  sum += frame[1] + frame[2] + frame[3];
  int n = frame[2] + 256 * frame[3];
  for (int i = 0; i < n; ++i) sum += frame[4 + i];

  RxFrameOutcome outcome = RxFrameValid;
  if (frame[4 + n] != kEtx) {
    outcome = RxFrameFormatError;
  } else {
    sum += kEtx;
    if (frame[5 + n] != static_cast<unsigned char>(sum & 0xFF))
      outcome = RxFrameChecksumMismatch;
    else if (frame[6 + n] != kCr)
      outcome = RxFrameFormatError;
  }

  char line[kTraceLineSize];
  FormatTraceLine('R', line, frame, n + 7);
  AppendTrace(line);  // every received frame is traced, valid or not

  for (int i = 0; i < kFrameBufferSize; ++i) SetRxByte(i, frame[i]);
  // A damaged frame must never pass for the device's "0" (success): the status
  // byte stays as a sender clears it, and the waiter judges it a failure.
  if (outcome != RxFrameValid) SetRxByte(1, 0);
  SetResponseReady();
  return outcome;
}
