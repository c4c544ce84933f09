/* LD_PRELOAD library for the Wine test runs: Linux ptys refuse the modem-status
   ioctls (TIOCMGET and friends), which makes Wine's WaitCommEvent fail at once on
   every call instead of blocking until bytes arrive. This answers them for pty
   slaves (major numbers 136-143) with the lines a real USB serial port shows while
   DTR and RTS are on, and passes every other ioctl through untouched. Test tool
   only: never part of the program. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

static int (*real_ioctl)(int, unsigned long, ...);
static int lines = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;

static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned int maj = major(st.st_rdev);
  return maj >= 136 && maj <= 143;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (!real_ioctl) real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");

  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
      if (!is_pty_slave(fd) || !arg) break;
      {
        /* Once the other end has closed (the device was unplugged) the lines are
           gone too: fail as a USB serial driver does, so waits end. */
        struct pollfd p = {fd, 0, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
          errno = EIO;
          return -1;
        }
      }
      if (request == TIOCMGET) {
        *(int *)arg = lines;
      } else {
        /* Only the host's own outputs change; the device's lines stay as they are. */
        int mask = *(int *)arg & (TIOCM_DTR | TIOCM_RTS);
        if (request == TIOCMSET) lines = (lines & ~(TIOCM_DTR | TIOCM_RTS)) | mask;
        else if (request == TIOCMBIS) lines |= mask;
        else lines &= ~mask;
      }
      return 0;
    default:
      break;
  }
  return real_ioctl(fd, request, arg);
}
