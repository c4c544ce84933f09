#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {
FileHandle FromFd(int fd) {
  return fd < 0 ? nullptr : reinterpret_cast<FileHandle>(static_cast<intptr_t>(fd) + 1);
}
int ToFd(FileHandle f) { return static_cast<int>(reinterpret_cast<intptr_t>(f) - 1); }
}  // namespace

FileHandle FileOpenRead(const char* path) { return FromFd(open(path, O_RDONLY | O_CLOEXEC)); }
FileHandle FileOpenReadWrite(const char* path) { return FromFd(open(path, O_RDWR | O_CLOEXEC)); }
FileHandle FileCreateAlways(const char* path) {
  return FromFd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

int FileRead(FileHandle file, void* buffer, int count) {
  if (!file || count < 0) return -1;
  int got = 0;
  while (got < count) {  // ReadFile on a disk file returns all it can; so does this
    ssize_t n = read(ToFd(file), static_cast<char*>(buffer) + got, static_cast<size_t>(count - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got > 0 ? got : -1;
    if (n == 0) break;
    got += static_cast<int>(n);
  }
  return got;
}

int FileWrite(FileHandle file, const void* buffer, int count) {
  if (!file || count < 0) return -1;
  int put = 0;
  while (put < count) {
    ssize_t n = write(ToFd(file), static_cast<const char*>(buffer) + put, static_cast<size_t>(count - put));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    put += static_cast<int>(n);
  }
  return put;
}

FileHandle FileOpenForAppend(const char* path) {
  return FromFd(open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
}

long long FileSizeOfOpen(FileHandle file) {
  struct stat st;
  if (!file || fstat(ToFd(file), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

int FileReadAt(FileHandle file, long long offset, void* buffer, int count) {
  if (!file || count < 0) return -1;
  ssize_t n;
  do {
    n = pread(ToFd(file), buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int>(n);
}

bool FileFlush(FileHandle file) { return file && fsync(ToFd(file)) == 0; }

bool FileReplace(const char* from, const char* to) { return rename(from, to) == 0; }

void FileClose(FileHandle file) {
  if (file) close(ToFd(file));
}

bool FileDelete(const char* path) { return unlink(path) == 0 || errno == ENOENT; }

long long FileSizeOf(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

const char kPathSeparator = '/';

int CurrentDirectory(char* buffer, int size) {
  if (size <= 0 || !getcwd(buffer, static_cast<size_t>(size))) return 0;
  return static_cast<int>(strlen(buffer));
}

FileHandle FileOpenReadShared(const char* path) { return FromFd(open(path, O_RDONLY | O_CLOEXEC)); }

bool FileExists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

bool FileRenameNoReplace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  // File systems without the flag (and old kernels) answer EINVAL or ENOSYS:
  // a hard link refuses an existing name just the same.
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from, to) != 0) return false;
  if (unlink(from) != 0) {
    unlink(to);
    return false;
  }
  return true;
}

namespace {
// flock, not fcntl locks: a flock belongs to the open file description, so two
// handles of one process exclude each other too, and closing some other
// descriptor of the same file does not drop it.
bool TryLock(int fd) {
  int rc;
  do {
    rc = flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}
}  // namespace

FileHandle FileTakeLock(const char* path, bool* heldElsewhere) {
  if (heldElsewhere) *heldElsewhere = false;
  // No O_TRUNC: the holder's text stays until the lock is ours.
  int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd >= 0) {
    fchmod(fd, 0666);  // past the umask: the next holder may be another user of the station
  } else {
    fd = open(path, O_RDWR | O_CLOEXEC);
    // A file another user made without write access for us: flock does not need it.
    if (fd < 0 && errno == EACCES) fd = open(path, O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) return nullptr;
  if (!TryLock(fd)) {
    if (heldElsewhere) *heldElsewhere = errno == EWOULDBLOCK;
    close(fd);
    return nullptr;
  }
  if (ftruncate(fd, 0) != 0 && errno != EBADF && errno != EINVAL) {
    close(fd);
    return nullptr;
  }
  return FromFd(fd);
}

void FileReleaseLock(FileHandle lock) {
  if (!lock) return;
  if (ftruncate(ToFd(lock), 0) != 0) {
    // A read-only holder has no text to take away.
  }
  close(ToFd(lock));
}

bool FileLockWhole(FileHandle file, unsigned waitMs) {
  if (!file) return false;
  struct timespec start, now;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (TryLock(ToFd(file))) return true;
    if (errno != EWOULDBLOCK) return false;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long spentMs = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (spentMs >= static_cast<long long>(waitMs)) return false;
    struct timespec step = {0, 2000000};
    nanosleep(&step, nullptr);
  }
}

void FileUnlockWhole(FileHandle file) {
  if (file) flock(ToFd(file), LOCK_UN);
}
