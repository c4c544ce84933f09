// What every worker (the production sequence, a flash job, the firmware download,
// a single request) honours, the pieces they share, and how one ends. Front ends
// start, stop and join workers (the dialog: app/worker_thread.h); one runs at a
// time, since every worker shares TxFrame, RxFrame, ResponseReady, JobParams and
// TransferBuffer.
#pragma once
#include "jobs/job_params.h"

// A worker's body: its argument (the JobParamsRecord), and 0 as its thread's value.
typedef int (*WorkerEntry)(void* arg);

// The stop request. Raised by the front end's thread (close, the wind-down of check
// box 302, the dialog's close; Ctrl+C on the command line, from its signal handler:
// a lock-free store), cleared when the next worker starts; read by the worker. A
// worker looks at it only where nothing is half sent: the sequence once a cycle and
// between its erase requests and its pages, a flash job before each request, the
// download before each block erase and each page. A stopped job ends with a trace
// line that says so and no box.
void RequestWorkerStop();
bool WorkerStopRequested();

// Worker thread: sleeps ms in small steps; false as soon as the stop request is
// seen (the rest of the wait is not slept), true when the whole wait passed.
bool WaitUnlessStopped(unsigned ms);

// Worker thread: the warning box of a job that failed (caption "KM7200"); a stop
// has said so in the trace list and shows none. failure null: nothing.
void WarnUnlessStopped(const char* failure);
// The failure text of a stopped job (the run log's result "stopped").
extern const char* const kStoppedResult;

// The outcome of a device operation's result (device/commands.h): JOB_DONE for 0,
// JOB_REFUSED for a refusal, JOB_NO_ANSWER for silence, or JOB_PORT when the port
// has gone meanwhile (the unit was unplugged).
int OutcomeOfDeviceResult(int deviceResult);

// Worker thread, as a job ends (before any box it shows): sets params->outcome,
// the run record's result (failure, or "OK" when null), length since startMs,
// attempt and slot (the job record's), and appends it to the run log the record names.
void FinishJob(JobParamsRecord* params, int outcome, const char* failure, uint32_t startMs);

// Worker thread, its last step: notes that this worker is ending, then sends message
// (UM_JOIN_WORKER or UM_SEQUENCE_ENDED) to its front end through the outlets.
void PostWorkerEnd(unsigned message);

// Worker thread: has its front end carry out command id and waits until it has. A
// close handled meanwhile does not wait for this worker, which is waiting for it (the
// dialog would wait for ever); so the worker must not use the port after such a send.
// The sequence's end state sends em-stop and close this way.
void SendCommandFromWorker(int id);

// For the front end's side of the rule, on its thread only.
// Clears the stop request and the ending and sending notes for a new worker.
void ResetWorkerSignals();
// Whether the worker has posted its end (it is then a few instructions from its
// return).
bool WorkerHasEnded();
// The command the worker waits for in SendCommandFromWorker, or 0.
int WorkerWaitsForCommand();
