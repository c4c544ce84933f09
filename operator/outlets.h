// What the operator sees, reached from every layer of the program: the trace
// list, the status line, the warning boxes and a long job's progress. A caller
// never holds a window: each front end installs its own outlets (the dialogs show
// them in their controls through the dialog's thread, the command line writes them
// to its console), and a feature reports without knowing which one runs it.
#pragma once
#include <cstdint>

// One front end's outlets. Every member may be called from any thread.
struct OperatorOutlets {
  // A trace line: frames sent and received, a job's progress words.
  void (*trace)(const char* line);
  // What the program waits for: one sentence, replacing the last.
  void (*status)(const char* text);
  // A warning the operator must see; the dialogs' box waits until it is answered.
  void (*warning)(const char* text, const char* caption);
  // A long job's progress: done of total units, and the sentence that says so
  // ("書込み 37/256 ページ 残り 12 秒"); ended for the phase's last word ("... 完了").
  // Null where the front end shows none.
  void (*progress)(uint32_t done, uint32_t total, const char* text, bool ended);
  // A message from a worker to its front end: its end (UM_JOIN_WORKER,
  // UM_SEQUENCE_ENDED) or the removal watch after a production run. Never waits.
  void (*post)(unsigned message);
  // A command the worker has its front end carry out before it goes on: em-stop
  // and close at the end of a production run. Returns once it has been handled.
  void (*command)(int id);
  // A production run has stamped its serial number and succeeded; next is the
  // next unit's number. The front end keeps it (the bench: box 304 and
  // QB2BENCH.INI) and returns false when it could not, having told the operator or
  // noted it. Null: nothing to keep (the number was claimed before the run).
  bool (*serialUsed)(int32_t next);
};

// The dialogs' outlets, over platform/ui: what is installed until a front end
// installs its own. Their serialUsed is null; the dialog adds its own.
extern const OperatorOutlets kDialogOutlets;
// Installs the front end's outlets (null: kDialogOutlets again). Called before
// any thread that reports starts; the table must outlive them.
void InstallOutlets(const OperatorOutlets* outlets);
const OperatorOutlets& Outlets();

// Trace list: at most 200 lines, the newest selected. Any thread, never waiting. In
// the dialogs a line from the dialog's thread goes in at once, after any queued
// ones; one from another thread is queued and added when the dialog's thread next
// runs its message loop. Lines keep the order in which they were appended, across
// threads too. A join on the dialog's thread serves sends only, so queued lines
// show after it.
int AppendTrace(const char* text);
// Dialog thread only: adds the lines other threads have queued (on UM_TRACE_DRAIN,
// posted once for each batch).
void DrainTraceQueue();
// Dialog thread (command 208): empties the list, and drops the lines other threads
// queued before the clear, so none of them shows after it.
void ClearTraceList();

// Status line: one sentence about what the program waits for. Any thread (the
// dialog's and the watchers'); each call replaces the whole text. From another
// thread it is a sent message, carried out during a join too.
void SetStatusLine(const char* text);

// A warning for the operator (in the dialogs a modal box owned by the dialog,
// warning icon, OK). Any thread; the caller waits until the operator answers. A
// worker that waits in one has not ended: a join of it waits too, but the dialog
// stays disabled meanwhile, so no command reaches it that would join.
void ShowWarningBox(const char* text, const char* caption);

// The closed-port warning: "COMﾎﾟｰﾄがオープンされていません", empty caption.
void WarnPortClosed();
