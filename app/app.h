// The main dialog: its shared record, the handlers that MainDialogProc hands
// messages to, and the three operator outlets (trace list, status line, warnings).
#pragma once
#include <cstdint>

#include "app/ids.h"

// Parameters of the flash jobs, kept in the dialog's user-data slot.
struct JobParamsRecord {
  uint32_t address;
  uint32_t size;
  char fileName[256];
};
extern JobParamsRecord JobParams;

#include "platform/systhread.h"

// The one worker thread (production sequence, flash job or firmware download);
// null when none. Used on the dialog's thread only.
extern ThreadHandle WorkerThread;

// One worker at a time: every worker shares TxFrame, RxFrame, JobParams and
// TransferBuffer, and a second one would mix its requests and replies with the
// first one's and take its handle. Starts proc(arg) as WorkerThread; false, and
// nothing started, while a worker runs (or when the thread cannot be created).
// Dialog thread only.
bool StartWorker(int (*proc)(void*), void* arg);
bool WorkerRunning();

// How long the open command waits for the receiver to report how its open went.
const unsigned kOpenOutcomeWaitMs = 3000;

// Operator texts (Shift-JIS at run time).
extern const char* const kStatusPlugIn;       // "USBを接続してください。"
extern const char* const kStatusRecognising;  // "COMポート認識待ち"
extern const char* const kStatusUnplug;       // "USBを外してください。"
// The bench's port watcher ends with one of these instead of a report.
extern const char* const kStatusPortReady;    // "COMポート準備完了"
extern const char* const kStatusPortNotOpen;  // "COMポートを開けません"
extern const char* const kDefaultDataFile;    // box 202 at start

// Dialog handlers, all on the dialog's thread.
void OnInitDialog(JobParamsRecord* params);
void OnCloseDialog();
void OnCommand(int id, JobParamsRecord* params);
void OnUserMessage(unsigned message, JobParamsRecord* params);

// Trace list (list box 100): at most 200 lines, the newest selected. Callable from
// any thread; lines from one thread keep their order.
int AppendTrace(const char* text);
// Adds the lines other threads have queued; the dialog thread runs it on UM_TRACE_DRAIN.
void DrainTraceQueue();
void ClearTraceList();
void SetStatusLine(const char* text);
// The closed-port warning: empty caption, warning icon, OK.
void WarnPortClosed();

// Decimal conversion as the C library's atol does it (leading blanks, a sign,
// digits up to the first non-digit; 0 without digits), without its overflow
// undefined behaviour: the value wraps like the 32-bit arithmetic of the original
// conversion would.
long ParseDecimal(const char* text);
