// What the operator sees, reached from every layer of the program: the trace
// list (list box 100), the status line (box 300) and the warning boxes. A caller
// never holds a window; the operations go through the dialog's thread (platform/ui),
// which carries them out even while it waits in a join for another thread, so a
// thread being joined never holds up its own join by reporting.
#pragma once

// Trace list: at most 200 lines, the newest selected. Any thread, never waiting. A
// line from the dialog's thread goes in at once, after any queued ones; one from
// another thread is queued and added when the dialog's thread next runs its message
// loop. Lines keep the order in which they were appended, across threads too. A
// join on the dialog's thread serves sends only, so queued lines show after it.
int AppendTrace(const char* text);
// Dialog thread only: adds the lines other threads have queued (on UM_TRACE_DRAIN,
// posted once for each batch).
void DrainTraceQueue();
// Dialog thread (command 208).
void ClearTraceList();

// Status line: one sentence about what the program waits for. Any thread (the
// dialog's and the watchers'); each call replaces the whole text. From another
// thread it is a sent message, carried out during a join too.
void SetStatusLine(const char* text);

// A modal warning box owned by the dialog (warning icon, OK). Any thread; the
// caller waits until the operator answers. A worker that waits in one has not
// ended: a join of it waits too, but the dialog stays disabled meanwhile, so no
// command reaches it that would join.
void ShowWarningBox(const char* text, const char* caption);
// Check box 305 (書込後照合, QB2BENCH.EXE): whether a write is to be read back and
// compared. Always false on QB2LINK.EXE, which has no such box. Any thread.
bool VerifyAfterWriteTicked();

// The closed-port warning: "COMﾎﾟｰﾄがオープンされていません", empty caption.
void WarnPortClosed();
