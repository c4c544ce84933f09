#include <windows.h>

#include "platform/file.h"

namespace {
FileHandle Wrap(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : static_cast<FileHandle>(h); }
}  // namespace

FileHandle FileOpenRead(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
}
FileHandle FileOpenReadWrite(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
}
FileHandle FileCreateAlways(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int FileRead(FileHandle file, void* buffer, int count) {
  DWORD got = 0;
  if (!file || count < 0 || !ReadFile(static_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &got, nullptr))
    return -1;
  return static_cast<int>(got);
}

int FileWrite(FileHandle file, const void* buffer, int count) {
  DWORD put = 0;
  if (!file || count < 0 || !WriteFile(static_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &put, nullptr))
    return -1;
  return static_cast<int>(put);
}

FileHandle FileOpenForAppend(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long long FileSizeOfOpen(FileHandle file) {
  LARGE_INTEGER size;
  if (!file || !GetFileSizeEx(static_cast<HANDLE>(file), &size)) return -1;
  return size.QuadPart;
}

int FileReadAt(FileHandle file, long long offset, void* buffer, int count) {
  OVERLAPPED at;
  ZeroMemory(&at, sizeof at);
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  // On a handle opened without FILE_FLAG_OVERLAPPED the offset is honoured and the
  // call completes before it returns.
  if (!file || count < 0 || !ReadFile(static_cast<HANDLE>(file), buffer, static_cast<DWORD>(count), &got, &at))
    return -1;
  return static_cast<int>(got);
}

bool FileFlush(FileHandle file) { return file && FlushFileBuffers(static_cast<HANDLE>(file)); }

bool FileReplace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void FileClose(FileHandle file) {
  if (file) CloseHandle(static_cast<HANDLE>(file));
}

bool FileDelete(const char* path) {
  return DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

long long FileSizeOf(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

const char kPathSeparator = '\\';

int CurrentDirectory(char* buffer, int size) {
  if (size <= 0) return 0;
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
  return (n == 0 || n >= static_cast<DWORD>(size)) ? 0 : static_cast<int>(n);
}

FileHandle FileOpenReadShared(const char* path) {
  return Wrap(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool FileRenameNoReplace(const char* from, const char* to) { return MoveFileExA(from, to, 0) != 0; }

FileHandle FileTakeLock(const char* path, bool* heldElsewhere) {
  // Write access shared with no one is the lock: a second taker, wanting write
  // access, meets a sharing violation while this handle is open; readers asking
  // for read access only (and sharing write) still get in. The system closes the
  // handle when the process ends, however it ends.
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (heldElsewhere) *heldElsewhere = h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h)) {
    CloseHandle(h);
    return nullptr;
  }
  return h;
}

void FileReleaseLock(FileHandle lock) {
  if (!lock) return;
  HANDLE h = static_cast<HANDLE>(lock);
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER) SetEndOfFile(h);
  CloseHandle(h);
}

namespace {
// Byte-range locks on Windows are mandatory: a lock over the file's bytes would
// make other processes' reads and writes of them fail while it is held. One byte
// far beyond any size a record reaches (2^62) is locked instead, which only other
// lockers meet. Locking past the end of a file is allowed.
const DWORD kLockOffsetHigh = 0x40000000;

OVERLAPPED LockPlace() {
  OVERLAPPED at;
  ZeroMemory(&at, sizeof at);
  at.OffsetHigh = kLockOffsetHigh;
  return at;
}
}  // namespace

bool FileLockWhole(FileHandle file, unsigned waitMs) {
  if (!file) return false;
  DWORD start = GetTickCount();
  for (;;) {
    OVERLAPPED at = LockPlace();
    // A handle without FILE_FLAG_OVERLAPPED completes the call before it returns.
    if (LockFileEx(static_cast<HANDLE>(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
      return true;
    DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return false;
    if (GetTickCount() - start >= waitMs) return false;
    Sleep(2);
  }
}

void FileUnlockWhole(FileHandle file) {
  if (!file) return;
  OVERLAPPED at = LockPlace();
  UnlockFileEx(static_cast<HANDLE>(file), 0, 1, 0, &at);
}
