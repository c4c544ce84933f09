// Child processes with pipes on POSIX: posix_spawn with the pipes as the child's
// standard streams, waitpid polling for the bounded wait.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/pipe_write_posix.h"
#include "platform/process.h"

extern char** environ;

namespace {
struct Child {
  pid_t pid;
  bool ended;
  int exitValue;
};

PipeHandle PipeFromFd(int fd) { return fd < 0 ? nullptr : reinterpret_cast<PipeHandle>(static_cast<intptr_t>(fd) + 1); }
int PipeFd(PipeHandle p) { return static_cast<int>(reinterpret_cast<intptr_t>(p) - 1); }

void CloseAll(int (&fds)[3][2]) {
  for (auto& pair : fds)
    for (int fd : pair)
      if (fd >= 0) close(fd);
}

long long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}
}  // namespace

ChildProcess StartChildProcess(const std::vector<std::string>& args, PipeHandle* toChild, PipeHandle* fromOut,
                               PipeHandle* fromErr) {
  *toChild = *fromOut = *fromErr = nullptr;
  if (args.empty()) return nullptr;
  // Every end is close-on-exec, so a child started later by any thread never
  // inherits one; the spawn's dup2 onto 0, 1 and 2 gives the child its own ends
  // without that flag.
  int fds[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  for (auto& pair : fds) {
    if (pipe2(pair, O_CLOEXEC) != 0) {
      CloseAll(fds);
      return nullptr;
    }
    // A parent started with a standard stream closed gets that number for a pipe,
    // which one of the dup2 calls below would then overwrite in the child.
    for (int& fd : pair) {
      if (fd > 2) continue;
      int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
      close(fd);
      fd = moved;
    }
    if (pair[0] < 0 || pair[1] < 0) {
      CloseAll(fds);
      return nullptr;
    }
  }
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0][0], 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1][1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[2][1], 2);
  // The child starts with no signal blocked and SIGPIPE at its default, whatever
  // the starting thread had (PipeWrite blocks SIGPIPE while it writes).
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, pipeOnly;
  sigemptyset(&none);
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &pipeOnly);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  // glibc's posix_spawn reports a failed exec (a missing program) as its result.
  int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  int parentEnds[3] = {fds[0][1], fds[1][0], fds[2][0]};
  fds[0][1] = fds[1][0] = fds[2][0] = -1;
  CloseAll(fds);  // the child's ends
  if (rc != 0) {
    for (int fd : parentEnds) close(fd);
    return nullptr;
  }
  *toChild = PipeFromFd(parentEnds[0]);
  *fromOut = PipeFromFd(parentEnds[1]);
  *fromErr = PipeFromFd(parentEnds[2]);
  return new Child{pid, false, 0};
}

int PipeRead(PipeHandle pipe, void* buffer, int count) {
  if (!pipe || count < 0) return -1;
  ssize_t n;
  do {
    n = read(PipeFd(pipe), buffer, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

int PipeReadFor(PipeHandle pipe, void* buffer, int count, unsigned ms) {
  if (!pipe || count < 0) return -1;
  struct pollfd p = {PipeFd(pipe), POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, static_cast<int>(ms));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  if (ready == 0) return -2;
  return PipeRead(pipe, buffer, count);
}

int PipeWrite(PipeHandle pipe, const void* buffer, int count) {
  if (!pipe || count < 0) return -1;
  return WriteAllWithoutSigpipe(PipeFd(pipe), buffer, static_cast<size_t>(count)) ? count : -1;
}

void PipeClose(PipeHandle pipe) {
  if (pipe) close(PipeFd(pipe));
}

bool WaitChildProcess(ChildProcess child, unsigned ms, int* exitValue) {
  Child* c = static_cast<Child*>(child);
  if (!c) return false;
  long long start = NowMs();
  while (!c->ended) {
    int status = 0;
    pid_t r = waitpid(c->pid, &status, WNOHANG);
    if (r == c->pid) {
      c->ended = true;
      c->exitValue = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
      break;
    }
    if (r < 0 && errno != EINTR) return false;
    if (NowMs() - start >= static_cast<long long>(ms)) return false;
    struct timespec step = {0, 1000000};
    nanosleep(&step, nullptr);
  }
  *exitValue = c->exitValue;
  return true;
}

void CloseChildProcess(ChildProcess child) {
  Child* c = static_cast<Child*>(child);
  if (!c) return;
  // A child that has ended but was not waited for is reaped here; one that still
  // runs is left to run (it stays a zombie once it ends, until this process ends).
  if (!c->ended) waitpid(c->pid, nullptr, WNOHANG);
  delete c;
}

std::string OwnProgramPath() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < path.size()) {
      path.resize(static_cast<size_t>(n));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

int OwnProcessId() { return static_cast<int>(getpid()); }

std::string ComputerName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

int ChildProcessId(ChildProcess child) { return child ? static_cast<int>(static_cast<Child*>(child)->pid) : 0; }
