// The operations on the unit, one row each: the dialogs' dispatch, the command
// line's parser and the tests all read this table. A new operation is one row here
// (and its control in the bench's template): no list of ids elsewhere.
//
// The dialogs' own controls (open, close, em-stop, the list clear, check box 302)
// act on the dialog itself and are not rows.
#pragma once
#include "jobs/worker.h"

// What a front end reads into the job record before it starts the operation.
enum OperationInputs {
  IN_NONE,
  IN_FLASH_WRITE,  // range and source file (boxes 200-202 and 305; FILE --addr --size --verify)
  IN_FLASH_READ,   // range and target file
  IN_FLASH_ERASE,  // range (the dialogs load box 202's file for its length)
  IN_PRODUCTION,   // serial number, image, verify (box 304 and 305; --serial --image --verify)
  IN_FIRMWARE,     // the S-record file (the dialogs' fixed path; FILE)
  IN_CLOCK,        // clock set: a time (the command line's; the PC's local time without one)
};

enum OperationFlags {
  OP_NEEDS_UNIT = 1,   // the port open and no job running; else nothing is sent
  OP_BENCH_ONLY = 2,   // no control in QB2LINK.EXE's template (which keeps its 31)
};

struct Operation {
  int id;             // the control and command id (operator/ids.h)
  const char* label;  // the control's text
  const char* verb;   // the command line's verb ("write", "clock get"); null: the dialogs only
  const char* record; // the run log's name of the operation ("flash-write"); null: not logged
  unsigned flags;     // OperationFlags
  int inputs;         // OperationInputs
  // The dialogs: what goes out at once on the dialog's thread, no reply awaited
  // (the receiver traces it); null: nothing.
  void (*send)();
  // Then the job on the worker, with the job record; null: none. The command line
  // runs the job; where there is none it runs request instead.
  WorkerEntry job;
  // The command line: the same bytes as send, as a job that waits for the reply.
  WorkerEntry request;
};

extern const Operation kOperations[];
extern const int kOperationCount;
// The row of a command id, or null.
const Operation* FindOperation(int id);
// The row of a command line verb ("clock get"), or null.
const Operation* FindOperationByVerb(const char* verb);
