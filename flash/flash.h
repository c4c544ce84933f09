// Flash transfer between a file and a range of the device's data flash: the check
// of a request before a job starts (with the file of a write or erase loaded), and
// the three jobs on the worker thread.
#pragma once
#include <cstdint>
#include <string>

#include "jobs/job_params.h"
#include "jobs/worker.h"
#include "operator/ids.h"

// The device's data flash is 128 KiB; no job reaches past it.
const uint32_t kTransferBufferSize = 0x20000;
// Byte k stands for device flash address JobParams.address + k of the current job.
// Written by the front end's thread (a write's or erase's file) before a job starts
// and by the read job while it runs; read by the job. Never both at once: a front
// end loads a file only while no worker runs. Zero at program start.
extern unsigned char TransferBuffer[kTransferBufferSize];

// A write or read request carries at most this many data bytes, and a write never
// crosses a boundary of it in device addresses (the device programs one page per
// request).
const uint32_t kFlashChunk = 256;
// An erase request covers at most this much; a larger range is erased piece by piece.
const uint32_t kErasePiece = 0x8000;

// What a front end asks of a flash job (the dialog from boxes 200-202 and 305, the
// command line from its arguments).
struct FlashRequest {
  int kind = 0;               // IDC_FLASH_WRITE, IDC_FLASH_READ or IDC_FLASH_ERASE
  int64_t address = 0;
  int64_t size = 0;           // not looked at when sizeFromFile
  bool sizeFromFile = false;  // a write or erase takes its file's length
  std::string file;           // a read's target; a write's source; an erase loads it too ("" : none)
  bool verify = false;        // a write is read back and compared
  // The bench opens a source file for reading and writing without sharing, so that
  // nothing changes it while it loads (a read-only file is refused); the command
  // line reads it shared, as a line's read-only images must be read.
  bool exclusive = true;
  // The command line: a write's whole file must fit the flash from its address (a
  // longer file is refused, not cut short), for it has no operator to see a cut.
  bool wholeFile = false;
};

// On the front end's thread, once the port is open and no worker runs: loads the
// file of a write or erase into TransferBuffer (*loaded: its length, or -1 when
// none was loaded), checks the range and fills params (range, file, verify).
// Returns JOB_DONE, or after the warning box that says why not, JOB_FILE ("OPEN
// ERROR", "READ ERROR") or JOB_BAD_INPUT ("入力値異常").
int PrepareFlashJob(const FlashRequest& request, JobParamsRecord* params, int64_t* loaded);
// The job of a request's kind.
WorkerEntry FlashJobOf(int kind);

// Job threads; arg is the JobParamsRecord. Each looks at the stop request before
// every request, logs its record and sets the outcome, then posts UM_JOIN_WORKER as
// its last step (after any warning box has been confirmed) and returns 0.
int FlashWriteJob(void* arg);
int FlashReadJob(void* arg);
int FlashEraseJob(void* arg);

// A box's text read as atol reads it (blanks, a sign, digits up to the first
// other character, 0 without digits), but without wrapping: a value beyond 32 bits
// comes back as kFlashValueTooLarge (or its negative), which the range rule refuses.
const int64_t kFlashValueTooLarge = INT64_C(0x100000000);
int64_t ParseFlashValue(const char* text);
// The range rule: address <= 0x20000, size >= 1, address + size <= 0x20000, with
// negative values refused.
bool FlashRangeValid(int64_t address, int64_t size);
