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

// The handler of a command the worker sent and waits for (em-stop and close at the
// end of a production run) is running on this thread: set around it by OnCommand.
// Thread-local, so that in the native tests, where a worker's sends run on the
// worker's own thread, it says the same as on the dialog's thread.
void EnterWorkerCommand();
void LeaveWorkerCommand();

// Raises the stop request and waits, serving other threads' sends, until the
// worker has ended (about ten seconds at most; the longest a worker goes without
// looking is one erase request, 5 s). Meanwhile the worker may send the commands
// that end its run: they are carried out inside the wait, and the wait goes on
// until the worker has logged its run and ended. True when no worker can use the
// port any more: none ran, it ended, or this is the handler of the very command the
// worker waits for (waiting there would wait for ever; the worker does not use the
// port after that command, and its end message joins it later). False when the
// worker still runs: the caller must then leave the port open.
bool StopWorker();
