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

#include "app/worker.h"

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
// Traced when a close finds a worker that would not stop: the port stays open.
extern const char* const kTraceWorkerStillRuns;

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
// undefined behaviour: digit runs too long for 32 bits wrap modulo 2^32, so the
// value is a 32-bit one (a long on Windows) on every build.
long ParseDecimal(const char* text);
