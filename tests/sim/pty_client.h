// A raw pty client for the virtual unit's tests: opens the slave (or the link),
// writes request frames, reads replies with time-outs. Deliberately not the
// host's link code.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qb2sim_test {

using Bytes = std::vector<uint8_t>;

// Hand-built frame, so that the codec under test is not checking itself.
inline Bytes Frame(uint8_t code, const Bytes& payload) {
  Bytes f = {0x02, code, static_cast<uint8_t>(payload.size() & 0xFF),
             static_cast<uint8_t>(payload.size() >> 8)};
  f.insert(f.end(), payload.begin(), payload.end());
  f.push_back(0x03);
  unsigned sum = 0;
  for (uint8_t b : f) sum += b;
  f.push_back(static_cast<uint8_t>(sum));
  f.push_back(0x0D);
  return f;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class PtyClient {
 public:
  PtyClient() = default;
  explicit PtyClient(const std::string& path) { Open(path); }
  ~PtyClient() { Close(); }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool Open(const std::string& path) {
    Close();
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      error_ = errno;
      return false;
    }
    termios t;
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    tcsetattr(fd_, TCSANOW, &t);
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool IsOpen() const { return fd_ >= 0; }
  int OpenError() const { return error_; }

  bool Write(const Bytes& b) {
    size_t at = 0;
    while (at < b.size()) {
      const ssize_t n = ::write(fd_, b.data() + at, b.size() - at);
      if (n > 0) {
        at += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      error_ = errno;
      return false;
    }
    return true;
  }

  // Reads until n bytes came, the time ran out, or the line ended (EOF/EIO,
  // recorded in Ended()).
  Bytes Read(size_t n, int timeoutMs) {
    Bytes out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buf[1024];
      const size_t want = std::min(sizeof buf, n - out.size());
      const ssize_t r = ::read(fd_, buf, want);
      if (r > 0) {
        out.insert(out.end(), buf, buf + r);
      } else if (r == 0 || errno != EAGAIN) {
        ended_ = true;
        readErrno_ = r == 0 ? 0 : errno;
        break;
      }
    }
    return out;
  }

  // Everything that arrives within the window.
  Bytes Drain(int windowMs) { return Read(1 << 20, windowMs); }

  // A whole reply frame, sized by its header.
  Bytes ReadFrame(int timeoutMs = 2000) {
    Bytes h = Read(4, timeoutMs);
    if (h.size() < 4) return h;
    const size_t n = h[2] | (h[3] << 8);
    return Cat(h, Read(n + 3, timeoutMs));
  }

  Bytes Request(uint8_t code, const Bytes& payload, int timeoutMs = 2000) {
    if (!Write(Frame(code, payload))) return {};
    return ReadFrame(timeoutMs);
  }

  bool Ended() const { return ended_; }
  int ReadErrno() const { return readErrno_; }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  bool ended_ = false;
  int readErrno_ = 0;
};

}  // namespace qb2sim_test

#include <gtest/gtest.h>

#include "tools/sim/virtual_unit.h"

namespace qb2sim_test {

// A started unit with a client on its slave.
class UnitTest : public ::testing::Test {
 protected:
  explicit UnitTest(qb2sim::Options o = {}) : unit_(std::move(o)) {}
  void SetUp() override {
    ASSERT_TRUE(unit_.Start()) << unit_.LastError();
    ASSERT_TRUE(host_.Open(unit_.SlavePath()));
    ASSERT_TRUE(unit_.WaitForHostOpen(true, 5000));
  }
  // The status byte of the reply, or -1 for none.
  int StatusOf(uint8_t code, const Bytes& payload, int timeoutMs = 2000) {
    const Bytes r = host_.Request(code, payload, timeoutMs);
    return r.size() >= 7 ? r[1] : -1;
  }
  qb2sim::VirtualUnit unit_;
  PtyClient host_;
};

}  // namespace qb2sim_test
