// What every worker (the production sequence, a flash job, the firmware download)
// honours, and how it ends. The dialog starts, stops and joins workers
// (app/worker_thread.h); one runs at a time, since every worker shares TxFrame,
// RxFrame, ResponseReady, JobParams and TransferBuffer.
#pragma once

// A worker's body: its argument, and 0 as its thread's value.
typedef int (*WorkerEntry)(void* arg);

// The stop request. Raised by the dialog's thread (close, the wind-down of check
// box 302, the dialog's close), cleared when the next worker starts; read by the
// worker. A worker looks at it only where nothing is half sent: the sequence once
// a cycle and between its erase requests and its pages, a flash job before each
// request, the download before each block erase and each page. A stopped job ends
// with a trace line that says so and no box.
void RequestWorkerStop();
bool WorkerStopRequested();

// Worker thread, its last step: notes that this worker is ending, then posts
// message (UM_JOIN_WORKER or UM_SEQUENCE_ENDED, parameters 0) to the dialog.
void PostWorkerEnd(unsigned message);

// Worker thread: sends command id to the dialog and waits until it is handled. A
// close handled meanwhile does not wait for this worker, which is waiting for it
// (the dialog would wait for ever); so the worker must not use the port after such
// a send. The sequence's end state sends em-stop and close this way.
void SendCommandFromWorker(int id);

// For the dialog's side of the rule, on its thread only.
// Clears the stop request and the ending and sending notes for a new worker.
void ResetWorkerSignals();
// Whether the worker has posted its end (it is then a few instructions from its
// return).
bool WorkerHasEnded();
// Whether the worker waits in SendCommandFromWorker.
bool WorkerWaitsInSend();
