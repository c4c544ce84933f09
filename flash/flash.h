// Flash transfer between a file and a range of the device's data flash: the
// dialog's handler for the write, read and erase buttons and the three jobs it
// starts on the worker thread.
#pragma once
#include <cstdint>

#include "jobs/job_params.h"
#include "jobs/worker.h"
#include "operator/ids.h"

// The device's data flash is 128 KiB; no job reaches past it.
const uint32_t kTransferBufferSize = 0x20000;
// Byte k stands for device flash address JobParams.address + k of the current job.
// Written by the dialog's thread (a write's or erase's file) before a job starts
// and by the read job while it runs; read by the job. Never both at once: the
// dialog loads a file only while no worker runs. Zero at program start.
extern unsigned char TransferBuffer[kTransferBufferSize];

// A write or read request carries at most this many data bytes, and a write never
// crosses a boundary of it in device addresses (the device programs one page per
// request).
const uint32_t kFlashChunk = 256;
// An erase request covers at most this much; a larger range is erased piece by piece.
const uint32_t kErasePiece = 0x8000;

// Commands 203 (write), 204 (read) and 205 (erase), on the dialog's thread, once
// the dispatch has found the port open and no worker running: reads the boxes into
// params, loads the file of a write or erase into TransferBuffer and checks the
// range. Returns the job for the dialog to start as its worker with params, or
// null after the warning box that says why not.
WorkerEntry PrepareFlashJob(int id, JobParamsRecord* params);

// Job threads; arg is the JobParamsRecord. Each looks at the stop request before
// every request, and posts UM_JOIN_WORKER as its last step (after any warning box
// has been confirmed) and returns 0.
int FlashWriteJob(void* arg);
int FlashReadJob(void* arg);
int FlashEraseJob(void* arg);

// Box 200 or 201 read as atol reads it (blanks, a sign, digits up to the first
// other character, 0 without digits), but without wrapping: a value beyond 32 bits
// comes back as kFlashValueTooLarge (or its negative), which the range rule refuses.
const int64_t kFlashValueTooLarge = INT64_C(0x100000000);
int64_t ParseFlashValue(const char* text);
// The range rule: address <= 0x20000, size >= 1, address + size <= 0x20000, with
// negative values refused.
bool FlashRangeValid(int64_t address, int64_t size);
