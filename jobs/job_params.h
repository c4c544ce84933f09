// The job record: what a job takes from the front end that starts it (the dialog
// from its boxes, the command line from its arguments) and what it hands back when
// it ends. A job reads no control and knows no front end.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "device/clock.h"
#include "record/run_log.h"

// How a job ended. The values are the command line's exit values.
enum JobOutcome {
  JOB_DONE = 0,
  JOB_BAD_INPUT = 2,  // a number or a range the job cannot take
  JOB_FILE = 3,       // a file that cannot be opened, read or written; an image too large
  JOB_PORT = 4,       // the port cannot be opened, or went during the job
  JOB_NO_ANSWER = 5,  // the unit did not answer in time
  JOB_REFUSED = 6,    // the unit refused a request (a reply with another status)
  JOB_VERIFY = 7,     // what was read back differs from what was written
  JOB_STOPPED = 8,    // the stop request
  JOB_SERIAL = 9,     // no serial number to take, or the next one cannot be kept
};

// One job's record. The inputs are written by the front end's thread before it
// starts the job and only read by the job; the results are written by the job
// before it posts its end and read by the front end after the join. One worker
// runs at a time, so the two never meet.
struct JobParamsRecord {
  // Inputs.
  uint32_t address = 0;     // flash jobs: the range
  uint32_t size = 0;
  std::string fileName;     // flash jobs: the file written from, or read into
  bool verify = false;      // a write, and the production run's pages, are read back and compared
  int32_t serialNumber = 0;  // production: the number this unit gets
  int attempt = 1;           // the how-many-th run of this unit's job (a retry, a number used again)
  int slot = 0;              // a gang fixture's slot the unit sits in (0: none)
  std::string imagePath;    // production: the flash data image
  // production: how long the run waits for the reply to its range request. 0: until
  // stopped, as on the bench, where the operator sees the run wait and has em-stop.
  uint32_t rangeReplyBoundMs = 0;
  std::string firmwarePath;  // download: the S-record file
  // download: the file as read and checked before anything was sent (the command
  // line); empty: the job reads firmwarePath itself (the dialogs).
  std::vector<unsigned char> firmwareImage;
  bool clockGiven = false;  // clock set: the time in clock, else the PC's local time
  std::string logFile;      // the run log ("": none)
  std::string portName;     // the port as the run log names it: "COM7", or a device path

  // Results.
  int outcome = JOB_DONE;
  RunRecord run;            // the run log's record of the job
  std::string reason;       // a failure in words the operator reads ("" when done)
  DeviceTime clock;         // clock set: the time to set (an input); clock read: the unit's time
};
// The dialogs' record, kept in the dialog's user-data slot; the command line's.
extern JobParamsRecord JobParams;
