// COM ports over termios for the native builds, behaving as the Win32 layer does:
// the same read and write time-outs, a driver input queue whose count is exact, a
// receive event that fires for bytes that arrived since the last one (not merely
// for bytes still queued), and an event wait that another thread can release.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <mutex>

#include "platform/port.h"
#include "platform/port_posix.h"

namespace {

std::mutex DirectoryLock;
// Device paths given by name, by the numbers PortFromName gave them.
std::map<int, std::string>& Devices() {
  static std::map<int, std::string>* devices = new std::map<int, std::string>;
  return *devices;
}
const int kFirstDeviceNumber = 100000;
std::string& Directory() {
  static std::string* dir = new std::string(std::getenv("QB2_PORT_DIR") ? std::getenv("QB2_PORT_DIR") : ".");
  return *dir;
}

struct Port {
  int fd = -1;
  int release[2] = {-1, -1};  // a byte here ends a pending event wait
  std::mutex lock;            // guards everything below
  std::deque<unsigned char> queue;
  bool eventPending = false;  // bytes arrived since the last reported event
  bool gone = false;          // the other end closed: the device was unplugged
  unsigned mask = 0;
  bool waiter = false;  // a thread is (about to be) blocked in WaitPortEvent
};

Port* P(PortHandleValue h) { return static_cast<Port*>(h); }

long long NowUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

// Moves whatever the kernel holds into the queue; with the lock held.
void Pull(Port* p) {
  if (p->gone) return;
  unsigned char buffer[512];
  for (;;) {
    ssize_t n = read(p->fd, buffer, sizeof buffer);
    if (n > 0) {
      p->queue.insert(p->queue.end(), buffer, buffer + n);
      p->eventPending = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) p->gone = true;  // EIO: master closed
    return;
  }
}

// Waits until the fd is readable (or hangs up) or the time passes; no lock held.
bool WaitReadable(int fd, long long timeoutUs) {
  if (timeoutUs < 0) timeoutUs = 0;
  struct pollfd pfd = {fd, POLLIN, 0};
  struct timespec ts = {static_cast<time_t>(timeoutUs / 1000000), static_cast<long>(timeoutUs % 1000000) * 1000};
  int r = ppoll(&pfd, 1, &ts, nullptr);
  return r > 0;
}

speed_t Speed(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
  }
}

}  // namespace

void SetPosixPortDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> hold(DirectoryLock);
  Directory() = directory;
}

std::string PosixPortPath(int portNumber) {
  std::lock_guard<std::mutex> hold(DirectoryLock);
  auto device = Devices().find(portNumber);
  if (device != Devices().end()) return device->second;
  return Directory() + "/com" + std::to_string(portNumber);
}

std::string PortDisplayName(int number) { return PosixPortPath(number); }

std::string PortIdentity(const char* name) {
  int number = PortFromName(name);
  if (number == 0) return std::string();
  std::string path = PosixPortPath(number);
  char resolved[PATH_MAX];
  // A link that leads nowhere yet (a unit not plugged in) is its own identity.
  return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

int PortFromName(const char* name) {
  if (std::strchr(name, '/') == nullptr) {
    long n = 0;
    const char* p = name;
    for (; *p >= '0' && *p <= '9' && n < kFirstDeviceNumber; ++p) n = n * 10 + (*p - '0');
    return (*p == '\0' && p != name && n > 0 && n < kFirstDeviceNumber) ? static_cast<int>(n) : 0;
  }
  std::lock_guard<std::mutex> hold(DirectoryLock);
  for (const auto& d : Devices())
    if (d.second == name) return d.first;
  int number = kFirstDeviceNumber + static_cast<int>(Devices().size());
  Devices()[number] = name;
  return number;
}

int OpenPort(std::atomic<PortHandleValue>& handle, int portNumber, int baudRate, int dataBits, int stopBits,
             int parity, int ctsOutputFlow, int softwareFlow, int inputQueue, int outputQueue) {
  (void)inputQueue;
  (void)outputQueue;
  if (portNumber == 0) return 0;
  int fd = open(PosixPortPath(portNumber).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0 && ioctl(fd, TIOCEXCL) != 0) {  // no sharing, as CreateFile with share mode 0
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    handle.store(PortInvalidValue());
    return 17;
  }
  Port* p = new Port;
  p->fd = fd;
  if (pipe2(p->release, O_CLOEXEC | O_NONBLOCK) != 0) p->release[0] = p->release[1] = -1;
  tcflush(fd, TCIOFLUSH);
  handle.store(p);
  SetPortState(p, baudRate, dataBits, stopBits, parity, ctsOutputFlow, softwareFlow);
  return 0;
}

int SetPortState(PortHandleValue handle, int baudRate, int dataBits, int stopBits, int parity, int ctsOutputFlow,
                 int softwareFlow) {
  if (!PortIsOpen(handle)) return 0;
  (void)softwareFlow;
  struct termios t;
  std::memset(&t, 0, sizeof t);
  cfmakeraw(&t);
  t.c_cflag = CREAD | CLOCAL | (dataBits == 7 ? CS7 : CS8);
  if (stopBits == 2) t.c_cflag |= CSTOPB;
  if (parity != 0) t.c_cflag |= PARENB | (parity == 1 ? PARODD : 0);
  if (ctsOutputFlow & 1) t.c_cflag |= CRTSCTS;
  // VMIN 1 with O_NONBLOCK: "nothing yet" reads as EAGAIN, so a read of 0 bytes
  // (or EIO) means the other end has gone. VMIN 0 would return 0 for both.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, Speed(baudRate));
  cfsetospeed(&t, Speed(baudRate));
  return tcsetattr(P(handle)->fd, TCSANOW, &t) == 0 ? 1 : 0;
}

int ClosePort(PortHandleValue handle) {
  if (handle == nullptr || handle == PortInvalidValue()) return 1;
  Port* p = P(handle);
  tcflush(p->fd, TCIOFLUSH);
  close(p->fd);
  if (p->release[0] >= 0) {
    close(p->release[0]);
    close(p->release[1]);
  }
  delete p;
  return 1;
}

int PortRead(PortHandleValue handle, void* buffer, int count) {
  if (!PortIsOpen(handle) || count <= 0) return 0;
  Port* p = P(handle);
  PortTimeouts t = LinkPortTimeouts(256, 38400);
  unsigned char* out = static_cast<unsigned char*>(buffer);
  long long deadline = NowUs() + 1000LL * (t.readTotalConstant + t.readTotalMultiplier * static_cast<unsigned>(count));
  long long lastByte = 0;  // the interval time-out runs from the last byte received
  int got = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(p->lock);
      Pull(p);
      while (got < count && !p->queue.empty()) {
        out[got++] = p->queue.front();
        p->queue.pop_front();
        lastByte = NowUs();
      }
      if (got == count || p->gone) return got;
    }
    long long now = NowUs();
    long long until = deadline;
    if (got > 0 && lastByte + 1000LL * t.readInterval < until) until = lastByte + 1000LL * t.readInterval;
    if (now >= until) return got;
    WaitReadable(p->fd, until - now);
  }
}

int PortWrite(PortHandleValue handle, const void* buffer, int count) {
  if (!PortIsOpen(handle) || count <= 0) return 0;
  Port* p = P(handle);
  PortTimeouts t = LinkPortTimeouts(256, 38400);
  long long deadline = NowUs() + 1000LL * (t.writeTotalConstant + t.writeTotalMultiplier * static_cast<unsigned>(count));
  const unsigned char* in = static_cast<const unsigned char*>(buffer);
  int put = 0;
  while (put < count) {
    ssize_t n = write(p->fd, in + put, static_cast<size_t>(count - put));
    if (n > 0) {
      put += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      long long left = deadline - NowUs();
      if (left <= 0) break;
      struct pollfd pfd = {p->fd, POLLOUT, 0};
      struct timespec ts = {static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
      ppoll(&pfd, 1, &ts, nullptr);
      continue;
    }
    break;  // EIO: the device has gone
  }
  return put;
}

int PortQueuedBytes(PortHandleValue handle) {
  if (!PortIsOpen(handle)) return 0;
  Port* p = P(handle);
  std::lock_guard<std::mutex> hold(p->lock);
  Pull(p);
  if (p->gone) return 0;  // as ClearCommError failing after an unplug
  return static_cast<int>(p->queue.size());
}

int PortAlive(PortHandleValue handle) {
  if (!PortIsOpen(handle)) return 0;
  Port* p = P(handle);
  std::lock_guard<std::mutex> hold(p->lock);
  Pull(p);
  return p->gone ? 0 : 1;
}

int SetPortEventMask(PortHandleValue handle, unsigned mask) {
  if (!PortIsOpen(handle)) return 0;
  Port* p = P(handle);
  std::lock_guard<std::mutex> hold(p->lock);
  p->mask = mask;
  // As SetCommMask does, a new mask ends a pending wait; with no wait pending
  // there is nothing to release.
  const char one = 1;
  if (p->waiter && p->release[1] >= 0) (void)!write(p->release[1], &one, 1);
  return 1;
}

int WaitPortEvent(PortHandleValue handle) {
  if (!PortIsOpen(handle)) return 0;
  Port* p = P(handle);
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(p->lock);
      if (p->mask == 0 || p->gone) return 0;
      Pull(p);
      if (p->gone) return 0;
      if (p->eventPending) {
        p->eventPending = false;
        return 1;
      }
      p->waiter = true;
    }
    struct pollfd pfd[2] = {{p->fd, POLLIN, 0}, {p->release[0], POLLIN, 0}};
    int r = poll(pfd, p->release[0] >= 0 ? 2 : 1, -1);
    {
      std::lock_guard<std::mutex> hold(p->lock);
      p->waiter = false;
    }
    if (r < 0 && errno != EINTR) return 0;
    if (r > 0 && (pfd[1].revents & POLLIN)) {
      char drain[16];
      while (read(p->release[0], drain, sizeof drain) > 0) {
      }
      return 0;  // released by a mask change
    }
  }
}
