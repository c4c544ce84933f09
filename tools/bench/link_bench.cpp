// link_bench PORT [REQUESTS]: request/reply turnaround of the link against a unit
// behind COM<PORT> (natively: QB2_PORT_DIR/com<PORT>). For each request it records
// the time from the frame being written to ResponseReady being seen (polled
// tightly, not every 10 ms as the reply waits do), and prints percentiles. The
// unit's own share can be taken from its log (tools/bench/link-turnaround.sh).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"

namespace {
using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Print(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[static_cast<size_t>(q * (v.size() - 1))]; };
  std::printf("%-34s median %8.1f us   p90 %8.1f   p99 %8.1f   max %8.1f   (n=%zu)\n", what, at(0.5), at(0.9),
              at(0.99), v.back(), v.size());
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: link_bench PORT [REQUESTS]\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  int requests = argc > 2 ? std::atoi(argv[2]) : 500;
  PortNumber.store(port);
  StartReceiverThread();
  for (int i = 0; i < 500 && !PortIsOpen(PortHandle.load()); ++i) SleepMs(2);
  if (!PortIsOpen(PortHandle.load())) {
    std::fprintf(stderr, "link_bench: COM%d did not open\n", port);
    return 1;
  }
  SleepMs(50);
  std::vector<double> written, roundTrip;
  int lost = 0;
  for (int i = 0; i < requests; ++i) {
    SetRxByte(1, 0);
    ClearResponseReady();
    Clock::time_point t0 = Clock::now();
    SendFrame(0x61, 0);  // CMD_APP_RESUME: a 7-byte request, a 7-byte reply
    Clock::time_point tw = Clock::now();
    Clock::time_point t1;
    bool seen = false;
    while (Clock::now() - tw < std::chrono::seconds(2)) {
      if (ResponseReadySet()) {
        t1 = Clock::now();
        seen = true;
        break;
      }
      std::this_thread::yield();
    }
    if (!seen || RxByte(1) != '0') {
      ++lost;
      continue;
    }
    written.push_back(Us(t1 - tw));
    roundTrip.push_back(Us(t1 - t0));
    SleepMs(2);
  }
  StopReceiverThread();
  if (written.empty()) return 1;
  Print("frame written -> ResponseReady", written);
  Print("SendFrame called -> ResponseReady", roundTrip);
  if (lost) std::printf("requests without a good reply: %d\n", lost);
  return 0;
}
