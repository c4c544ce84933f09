#include "tools/sim/pty_canary.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

namespace qb2sim {

namespace {
// Only deliveries slower than this are kept: the rest say nothing.
constexpr auto kSlow = std::chrono::milliseconds(20);
constexpr size_t kMaxSlow = 100000;
// One ping in flight at a time, and a pause between: next to nothing for the machine.
constexpr auto kPingGap = std::chrono::milliseconds(10);
}  // namespace

PtyCanary::PtyCanary() {
  const int m = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m < 0) return;
  char name[128];
  termios t;
  if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0 || tcgetattr(m, &t) != 0) {
    close(m);
    return;
  }
  // Raw both ways: a canonical line would hold the pings until a newline.
  cfmakeraw(&t);
  const int s = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s < 0 || tcsetattr(m, TCSANOW, &t) != 0 || tcsetattr(s, TCSANOW, &t) != 0) {
    if (s >= 0) close(s);
    close(m);
    return;
  }
  master_ = m;
  slave_ = s;
  thread_ = std::thread([this] { Run(); });
}

PtyCanary::~PtyCanary() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool PtyCanary::Ping(int from, int to) {
  const unsigned char ping = 0x55;
  const Clock::time_point sent = Clock::now();
  {
    std::lock_guard<std::mutex> lk(mu_);
    pending_ = sent;
  }
  ssize_t put;
  while ((put = write(from, &ping, 1)) < 0 && errno == EINTR) {
  }
  if (put != 1) return false;
  unsigned char got;
  for (;;) {
    if (stop_) return false;
    // A held-back delivery keeps this poll in the kernel for as long as it lasts.
    pollfd p{to, POLLIN, 0};
    if (poll(&p, 1, 50) > 0 && (p.revents & POLLIN) && read(to, &got, 1) == 1) break;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
  }
  const Clock::time_point arrived = Clock::now();
  std::lock_guard<std::mutex> lk(mu_);
  pending_.reset();
  if (arrived - sent > kSlow && slow_.size() < kMaxSlow) slow_.push_back(Delivery{sent, arrived});
  return true;
}

void PtyCanary::Run() {
  // Both directions, in turn: the unit's replies travel master to slave, the
  // host's requests slave to master.
  while (!stop_ && Ping(slave_, master_) && Ping(master_, slave_)) Pause();
  std::lock_guard<std::mutex> lk(mu_);
  pending_.reset();
}

// A machine too busy to run a woken thread holds the unit's and the job's threads
// back just as a late pty does, with no late byte to show for it: a pause that
// oversleeps counts as a delivery from when it was due to when it woke.
void PtyCanary::Pause() {
  const Clock::time_point due = Clock::now() + kPingGap;
  {
    std::lock_guard<std::mutex> lk(mu_);
    pending_ = due;
  }
  std::this_thread::sleep_until(due);
  const Clock::time_point woke = Clock::now();
  std::lock_guard<std::mutex> lk(mu_);
  pending_.reset();
  if (woke - due > kSlow && slow_.size() < kMaxSlow) slow_.push_back(Delivery{due, woke});
}

double PtyCanary::LongestDeliveryMs(Clock::time_point from, Clock::time_point to) const {
  using Ms = std::chrono::duration<double, std::milli>;
  std::lock_guard<std::mutex> lk(mu_);
  double longest = 0;
  for (const Delivery& d : slow_)
    if (d.sent <= to && d.arrived >= from) longest = std::max(longest, Ms(d.arrived - d.sent).count());
  // A pause not yet due counts nothing: now is before it.
  if (pending_ && *pending_ <= to) longest = std::max(longest, Ms(Clock::now() - *pending_).count());
  return longest;
}

}  // namespace qb2sim
