// sequence_bench PORT: one em-start over the in-memory dialog against a unit behind
// COM<PORT> (QB2_PORT_DIR/com<PORT>), with
// the flash data image of the current directory. Prints the time from em-start to
// the run's stop line, and the CPU the process uses while the run sits in its 3 s
// clock wait. The wire floor is worked out from the unit's log by
// tools/bench/figure-sequence.sh.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "link/link.h"
#include "link/receiver.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/ui.h"
#include "platform/ui_model.h"
#include "sequence/sequence.h"

namespace {
using Clock = std::chrono::steady_clock;

// The dialog as far as a run needs it: the end state's em-stop and close, sent
// from the run's thread, and the trace lines. The run is started and joined here
// as the dialog's em-start and its end message do.
intptr_t Dispatch(unsigned message, uintptr_t wParam, intptr_t) {
  int id = static_cast<int>(wParam & 0xFFFF);
  if (message == 273 && id == IDC_EM_STOP) SetLinkFlag(StopSequence);
  else if (message == 273 && id == IDC_CLOSE) StopReceiverThread();
  else if (message == UM_TRACE_DRAIN) DrainTraceQueue();
  return 0;
}

double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool Stopped() {
  std::vector<std::string> lines = UiModelList(IDC_TRACE_LIST);
  return !lines.empty() && lines.back() == "停止!!";
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: sequence_bench PORT\n");
    return 2;
  }
  UiModelSetDispatcher(Dispatch);
  UiSetText(IDC_SERIAL_NUMBER, "00000001");
  PortNumber.store(std::atoi(argv[1]));
  StartReceiverThread();
  for (int i = 0; i < 500 && !PortIsOpen(PortHandle.load()); ++i) SleepMs(2);
  if (!PortIsOpen(PortHandle.load())) {
    std::fprintf(stderr, "sequence_bench: COM%s did not open\n", argv[1]);
    return 1;
  }
  SleepMs(50);

  Clock::time_point t0 = Clock::now();
  ClearLinkFlag(StopSequence);
  JobParams.serialNumber = 1;
  JobParams.imagePath = DefaultFlashDataPath();
  ThreadHandle run = StartThread(SequenceDriver, &JobParams);
  // The CPU figure: from 200 ms into the clock wait, 2.5 s of it, this thread asleep.
  while (SequenceState.load() != SEQ_READ_CLOCK && !Stopped()) SleepMs(1);
  double cpuPercent = -1;
  if (!Stopped()) {
    SleepMs(200);
    double c0 = ProcessCpuSeconds();
    Clock::time_point w0 = Clock::now();
    SleepMs(2500);
    double wall = std::chrono::duration<double>(Clock::now() - w0).count();
    cpuPercent = 100.0 * (ProcessCpuSeconds() - c0) / wall;
  }
  while (!Stopped()) SleepMs(1);
  double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  JoinThread(run);

  std::vector<std::string> lines = UiModelList(IDC_TRACE_LIST);
  bool ok = false;
  for (const std::string& l : lines) ok = ok || l == "___APP_RESTART___";
  std::printf("em-start -> stop line: %.3f s (%s)\n", seconds, ok ? "run succeeded" : "RUN FAILED");
  std::printf("CPU in the 3 s clock wait: %.2f %% of a core\n", cpuPercent);
  return ok ? 0 : 1;
}
