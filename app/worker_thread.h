// The dialog's side of the one worker thread: starting it, stopping it and joining
// it. What the worker itself honours is in jobs/worker.h.
#pragma once
#include "jobs/worker.h"
#include "platform/systhread.h"

// The running worker's handle; null when none. Written and read on the dialog's
// thread only.
extern ThreadHandle WorkerThread;

// Starts proc(arg) as WorkerThread, with the stop request cleared; false, and
// nothing started, while a worker runs (or when the thread cannot be created).
bool StartWorker(int (*proc)(void*), void* arg);
bool WorkerRunning();

// On UM_JOIN_WORKER / UM_SEQUENCE_ENDED: whether the running worker has posted its
// end. A message that arrives after its worker was already joined (by a close
// that stopped it) finds either no worker or a newer one that has not: it joins
// nothing.
bool WorkerEndPosted();
// Joins the running worker if it has posted its end, carrying out other threads'
// sends while it waits, and forgets it. A worker still running after about ten
// seconds stays known.
void JoinEndedWorker();

// Raises the stop request and waits, serving other threads' sends, until the
// worker has ended (about ten seconds at most; the longest a worker goes without
// looking is one erase request, 5 s). True when no worker can use the port any
// more: none ran, it ended, or it waits in SendCommandFromWorker for the very
// handler that calls this. False when the worker still runs: the caller must then
// leave the port open.
bool StopWorker();
