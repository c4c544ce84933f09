// The main dialog's handlers: what MainDialogProc (app/dialog_win32.cpp) does with
// each message. All run on the dialog's thread; the long work is handed to the
// receiver, a watcher or the one worker thread.
#pragma once
#include "jobs/job_params.h"

// How long the open command waits for the receiver to report how its open went.
const unsigned kOpenOutcomeWaitMs = 3000;

// The dialogs' outlets (the trace list, status line, boxes and bar 306 of the
// dialog, and box 304 with QB2BENCH.INI for the next serial number). Installed by
// OnInitDialog; tests that drive the handlers without it install them themselves.
void UseDialogOutlets();

void OnInitDialog(JobParamsRecord* params);
void OnCloseDialog();
// WM_COMMAND: the control id is the command id (operator/ids.h): the dialog's own
// controls, or a row of the operations table (ops/operations.h).
void OnCommand(int id, JobParamsRecord* params);
// UM_JOIN_WORKER, UM_SEQUENCE_ENDED, UM_START_PORT_WATCH, UM_START_REMOVAL_WATCH,
// UM_START_NOTICE.
void OnUserMessage(unsigned message, JobParamsRecord* params);
