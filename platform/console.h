// What a console program needs from its console: the stop request of Ctrl+C and
// its kin, whether output goes to a terminal, unbuffered writes and input reads.
#pragma once
#include <cstddef>

// Calls onStop once per Ctrl+C, Ctrl+Break and console close (Windows), SIGINT and
// SIGTERM (POSIX), instead of ending the process. onStop runs in a signal handler
// (POSIX) or on a thread the system starts for the event (Windows): it may only
// store to lock-free atomics. Windows ends the process as soon as the handler of a
// console close returns, so that handler calls onStop and then waits, 10 ms at a
// time and at most 4500 ms, until ended() returns true (ended runs on that thread
// too; null: no wait). Any thread, once, at the start.
void InstallStopHandler(void (*onStop)(), bool (*ended)());
// Whether standard output (1) or standard error (2) is a terminal: a console on
// Windows, a tty on POSIX. False for any other stream number. Any thread.
bool StreamIsTerminal(int stream);
// Whether stream is a terminal that takes the ANSI cursor controls (up a line,
// clear a line), so that a block of lines can be drawn again in place. On Windows
// this turns the console's virtual terminal processing on. Any thread.
bool StreamCanRedraw(int stream);
// Writes the bytes to standard output (1) or standard error (2) at once, no
// buffering kept across calls; false when not all were written (a reader that has
// gone never ends the process). Any thread; calls from several threads may
// interleave between calls, not within a short one.
bool ConsoleWrite(int stream, const char* bytes, size_t count);
// Reads standard input (a pipe a parent holds, or the console), blocking until
// some bytes or the end: the number read, 0 at the end, -1 on error. One thread.
int ConsoleReadInput(void* buffer, int count);
