// What the receiver does with one receive event, over any source of bytes: the
// port in the program, a byte stream in tests and the fuzzer.
#pragma once
#include <cstdint>

#include "link/link.h"

struct RxSource {
  virtual ~RxSource() = default;
  virtual int Waiting() = 0;                             // bytes in the input queue
  virtual int Read(unsigned char* buffer, int count) = 0;  // within the port's time-outs
};

struct ReceiveState {
  uint16_t partialSince = 0;  // tick at the last event with 1..3 bytes waiting; 0: none
  int partialCount = 0;
  unsigned char assembly[kFrameBufferSize];
  unsigned char scratch[kFrameBufferSize];
};

// Handles one event at tick `now` (milliseconds modulo 65536): drops a fragment
// older than 100 ms, hands over one byte in boot-loader byte mode, notes a short
// count, or reads, checks, traces and publishes one frame.
void ReceiveEvent(ReceiveState& state, RxSource& source, uint16_t now);

// ReadExact over a source: count, or -1 when stopped (StopReceiver) or out of reads.
int ReadExactFrom(RxSource& source, unsigned char* buffer, int count, int maxReads);
