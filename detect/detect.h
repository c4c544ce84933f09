// Port detection: the watchdog, the port watcher that finds the device's COM port
// in the serial-port registry and has it opened, the removal watcher, and the
// result reports that end the process.
#pragma once
#include <atomic>

// Plain flags, each written by one thread and polled by another at its next poll.
// Recognition on (1) or off (0): written by the dialog's thread (initialisation,
// check box 302), read by the watchers.
extern std::atomic<int> AutoRecognition;
// The port watcher polls or is about to open: written by the dialog's thread at
// initialisation and by the port watcher itself, read by it.
extern std::atomic<int> PortWatchArmed;
// The removal watcher polls: the same, for the removal watcher.
extern std::atomic<int> RemovalWatchArmed;
// Settle time after the open (box 301): written and read by the port watcher.
extern std::atomic<int> RecognitionWaitMs;

extern const char* const kSerialCommValue;  // "\Device\Serial2"

// Dialog initialisation calls it once: the watchdog, recognition on, a port watcher.
void StartWatchers();
int Watchdog(void* unused);
int PortWatcher(void* unused);
int RemovalWatcher(void* unused);
// Starts a watcher thread whose handle is not kept (they are never joined).
void StartDetachedThread(int (*proc)(void*));

// The port digits of a registry value such as "COM12": the characters after the
// three-letter prefix, up to the end of the data or its terminator, at most
// maxDigits of them (the rest of a longer value is ignored). Never reads past
// size bytes of data. Returns the length copied into digits (zero-terminated).
int PortDigitsOf(const char* data, unsigned long size, char* digits, int maxDigits);

// The unit's port as the port watcher finds it, for a front end without a dialog
// (QB2CLI find): the registry value polled every 10 ms for up to waitMs, nothing
// opened. The port number, or 0 when none was listed in time. Any thread.
int FindUnitPort(unsigned waitMs);

// Write "OK:%d\n" to QB2LINK.OK (or "ERR:%d\n" to QB2LINK.ERR) and end the process
// with the value as exit value. One report at a time writes its file and ends the
// process; a later one waits for that end, so a run leaves at most one result. A
// report whose file fails leaves none and shows a warning box; while the port
// watcher's box waits for the operator, the watchdog's report may still end the run.
[[noreturn]] void ReportOk(int port);
[[noreturn]] void ReportError(int code);
// The bench's port watcher ends here instead of in ReportOk: the port stays open
// for the bench commands and the status line says whether it is ready. Nothing is
// written, nothing ends. Returns 0, the watcher's thread value.
int ReportPortReady(int port);
// Claims the end of the process for the dialog's close: false when a report is
// writing or ending (it will end the process).
bool ClaimProcessEnd();
