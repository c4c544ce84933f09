// The dialog's handlers over the in-memory dialog model, a virtual unit on a pty,
// and a scratch current directory that holds the flash data image.
#pragma once
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/worker_thread.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"
#include "sequence/sequence.h"
#include "tests/link/unit_fixture.h"

using Bytes = std::vector<unsigned char>;

inline intptr_t DispatchToDialog(unsigned message, uintptr_t wParam, intptr_t) {
  if (message == 273) OnCommand(static_cast<int>(wParam & 0xFFFF), &JobParams);
  else if (message == UM_TRACE_DRAIN) DrainTraceQueue();
  else OnUserMessage(message, &JobParams);
  return 0;
}

// The tick source of the runs that need not take real time: ten times the real
// rate, so the 3 s clock wait passes in 0.3 s.
inline uint32_t FastTicks() { return TickCountMs() * 10u; }

class SequenceOnUnit : public UnitOnPort {
 protected:
  void SetUp() override {
    UnitOnPort::SetUp();
    WorkInUnitFolder();
    UiModelSetDispatcher(DispatchToDialog);
    UseDialogOutlets();
    JobParams = JobParamsRecord();
    SequenceTickSource = TickCountMs;
    SequenceTimer = 0;
    SequenceState = 0;
    WorkerThread = nullptr;
    posted_.clear();
    ended_ = 0;
  }

  void TearDown() override {
    SetLinkFlag(StopSequence);
    if (WorkerThread) OnUserMessage(UM_SEQUENCE_ENDED, &JobParams);
    UiModelSetDispatcher(nullptr);
    SequenceTickSource = TickCountMs;
    UnitOnPort::TearDown();
  }

  static void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void WriteImage(const Bytes& bytes) { WriteFile(dir_ + "/" + kFlashDataFileName, bytes); }

  // Posted messages so far (the model's queue is drained into posted_).
  const std::vector<unsigned>& Posted() {
    for (const UiMessage& m : UiModelTakePosted()) posted_.push_back(m.message);
    return posted_;
  }
  bool WasPosted(unsigned message) {
    for (unsigned m : Posted())
      if (m == message) return true;
    return false;
  }

  // em-start on the open link.
  void EmStart() { OnCommand(IDC_EM_START, &JobParams); }
  // Waits until the run has posted UM_SEQUENCE_ENDED, then hands it to the dialog
  // (which joins the worker). False when the run did not end in time.
  // Each run's message counts once: a later run waits for its own.
  bool AwaitEnd(int ms) {
    for (int waited = 0; waited < ms; waited += 5) {
      const std::vector<unsigned>& all = Posted();
      for (; ended_ < all.size(); ++ended_) {
        if (all[ended_] == UM_SEQUENCE_ENDED) {
          ++ended_;
          OnUserMessage(UM_SEQUENCE_ENDED, &JobParams);
          return true;
        }
      }
      SleepMs(5);
    }
    return false;
  }
  bool AwaitState(int state, int ms) {
    for (int waited = 0; waited < ms; waited += 2) {
      if (SequenceState.load() == state) return true;
      SleepMs(2);
    }
    return false;
  }

  // The trace lines that are not frame lines (T-/R-).
  static std::vector<std::string> SequenceLines() {
    std::vector<std::string> out;
    for (const std::string& line : UiModelList(IDC_TRACE_LIST))
      if (line.compare(0, 2, "T-") != 0 && line.compare(0, 2, "R-") != 0) out.push_back(line);
    return out;
  }
  static bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const std::string& l : lines)
      if (l == text) return true;
    return false;
  }

  std::vector<unsigned> posted_;
  size_t ended_ = 0;  // posted_ looked through by AwaitEnd
};
