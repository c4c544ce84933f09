// The one worker thread (production sequence, flash job or firmware download): how
// it is started, asked to stop, and joined. Every worker shares TxFrame, RxFrame,
// ResponseReady, JobParams and TransferBuffer, so two at once would take each
// other's replies; and a worker uses the port, so the port is closed only once the
// worker has ended.
#pragma once
#include "platform/systhread.h"

// The running worker's handle; null when none. Written and read on the dialog's
// thread only.
extern ThreadHandle WorkerThread;

// Dialog thread. Starts proc(arg) as WorkerThread, with the stop request cleared;
// false, and nothing started, while a worker runs (or when the thread cannot be
// created).
bool StartWorker(int (*proc)(void*), void* arg);
bool WorkerRunning();

// The stop request, raised from any thread (in practice the dialog's: close, the
// wind-down of check box 302, the dialog's close), cleared when the next worker
// starts. Workers look at it only where nothing is half sent: the sequence once a
// cycle and between its erase requests and its pages, a flash job before each
// request, the download before each block erase and each page. A stopped job ends
// with a trace line that says so and no box.
void RequestWorkerStop();
bool WorkerStopRequested();

// Worker thread, its last step: notes that this worker is ending, then posts
// message (UM_JOIN_WORKER or UM_SEQUENCE_ENDED, parameters 0) to the dialog.
void PostWorkerEnd(unsigned message);
// Dialog thread, on those messages: whether the running worker has posted its end.
// A message that arrives after its worker was already joined (by a close that
// stopped it) finds either no worker or a newer one that has not: it joins nothing.
bool WorkerEndPosted();
// Dialog thread: joins the running worker if it has posted its end (it is then a
// few instructions from its return), carrying out other threads' sends while it
// waits, and forgets it. A worker still running after about ten seconds stays known.
void JoinEndedWorker();

// Dialog thread: raises the stop request and waits, serving other threads' sends,
// until the worker has ended (about ten seconds at most; the longest a worker goes
// without looking is one erase request, 5 s). True when no worker can use the port
// any more: none ran, it ended, or it is waiting in SendCommandFromWorker for the
// very handler that calls this (it touches the port no more). False when the
// worker still runs: the caller must then leave the port open.
bool StopWorker();

// Worker thread: sends command id to the dialog and waits until it is handled. A
// close handled meanwhile does not wait for this worker, which is waiting for it;
// the worker must not use the port after such a send.
void SendCommandFromWorker(int id);
