// The flash jobs' parameters, read from boxes 200-202 when a job starts.
#pragma once
#include <cstdint>

// Written by the dialog's thread before it starts a flash job, read by that job
// while it runs; no worker runs while the dialog writes it (one worker at a time).
// Kept in the dialog's user-data slot and passed to the job as its argument.
struct JobParamsRecord {
  uint32_t address;
  uint32_t size;
  char fileName[256];
  uint32_t verify;  // a write is read back and compared (check box 305 when pressed)
};
extern JobParamsRecord JobParams;
