// A pseudo-terminal pair that carries nothing but its own pings: how late the
// kernel hands a byte written to one end to the other, measured beside a test.
//
// Every pty moves its bytes through the kernel's tty buffer work, which runs on a
// shared kernel worker; a reader waits for that work in the pty's poll and read.
// On a busy 2-core machine that work has been seen held back for up to two seconds
// for every pty at once: the virtual unit's reader blocked in the pty's poll, an
// idle pty pair beside it just as late. A test whose job waits a bounded time for
// each reply can then see the job give up with no program fault at all; the canary
// tells such a stretch from a reply the program lost. It also counts the stretches
// in which the machine left its own woken thread unrun.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace qb2sim {

class PtyCanary {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts pinging at once; Ok() is false when no pty pair could be had.
  PtyCanary();
  ~PtyCanary();
  PtyCanary(const PtyCanary&) = delete;
  PtyCanary& operator=(const PtyCanary&) = delete;

  bool Ok() const { return master_ >= 0; }

  // The longest delivery of a ping that overlapped [from, to], in ms; a ping
  // still under way counts up to now.
  double LongestDeliveryMs(Clock::time_point from, Clock::time_point to) const;

 private:
  struct Delivery {
    Clock::time_point sent, arrived;
  };
  void Run();
  bool Ping(int from, int to);  // false when stopped or the pty failed
  void Pause();                 // between pings

  int master_ = -1;
  int slave_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<Delivery> slow_;                // deliveries slower than kSlowMs
  std::optional<Clock::time_point> pending_;  // the ping under way, or when the pause is due
  std::thread thread_;
};

}  // namespace qb2sim
