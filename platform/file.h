// Files: the few ways the program opens them, with the Win32 sharing and creation
// rules (readers share with everyone; writers share with no one; open-existing or
// create-always).
#pragma once

typedef void* FileHandle;  // null when the open failed

// An existing file, read access, reading and writing shared with others: the units
// of a gang read one image or firmware file at once.
FileHandle FileOpenRead(const char* path);
// An existing file, read and write access, no sharing (fails on a read-only file).
FileHandle FileOpenReadWrite(const char* path);
// Created or truncated (CREATE_ALWAYS), write access, no sharing, normal attributes.
FileHandle FileCreateAlways(const char* path);
// The number of bytes moved, or -1 when the call failed.
int FileRead(FileHandle file, void* buffer, int count);
int FileWrite(FileHandle file, const void* buffer, int count);
void FileClose(FileHandle file);
// For a record that many may read while it grows (the run log): read access and
// appending writes (every write goes to the end, whoever else writes too), read
// and write shared with others, created when missing. Null when it cannot be
// opened (another program holds it without sharing, a folder of that name).
FileHandle FileOpenForAppend(const char* path);
// The size of an open file, or -1.
long long FileSizeOfOpen(FileHandle file);
// Reads count bytes at offset (from the start); the number read, or -1.
int FileReadAt(FileHandle file, long long offset, void* buffer, int count);
// Hands what was written to the disk; true on success.
bool FileFlush(FileHandle file);
// Puts the closed file from in place of to in one step (to is replaced when it
// exists): a reader finds the old file or the new one, never a mix.
bool FileReplace(const char* from, const char* to);
// Removes a closed file; true when it is gone.
bool FileDelete(const char* path);
// Size in bytes, or -1 when the file's status cannot be read.
long long FileSizeOf(const char* path);
// Joins a directory and a file name: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;
// The process's current directory; returns its length, or 0 when it does not fit.
int CurrentDirectory(char* buffer, int size);

// An existing file, read access, shared with every other opener (read, write and
// delete), so a file another program holds open with sharing is still read. Null
// when it cannot be opened. Any thread.
FileHandle FileOpenReadShared(const char* path);
// True when a file or folder of that name exists. Any thread.
bool FileExists(const char* path);
// Gives the closed file from the new name to; false, and nothing moved, when to
// exists (it is never replaced) or the move fails. Any thread.
bool FileRenameNoReplace(const char* from, const char* to);
// A lock between processes held by an open handle: the file is created when
// missing (writable by every user of the machine: the next holder may be another
// user) and opened so that no other handle (of this or another process) can take
// the same lock while this one is open, though anyone may still open it with
// FileOpenReadShared to read who holds it. Only the system's lock decides: a text
// left in the file by a holder that is gone counts for nothing. On success the
// file is emptied for the holder's text (FileWrite; a user who may not write the
// file holds the lock all the same, without a text). Null at once, never waiting,
// when the lock is held elsewhere (*heldElsewhere true) or the file cannot be
// opened (false). The lock goes with FileReleaseLock or the end of the process,
// however it ends. Any thread.
FileHandle FileTakeLock(const char* path, bool* heldElsewhere = nullptr);
// Empties the holder's text (where it may) and lets the lock go. Null does nothing.
void FileReleaseLock(FileHandle lock);
// An exclusive lock between processes on an open file (a shared record such as the
// run log from FileOpenForAppend), tried every few milliseconds until waitMs has
// passed: true once held, false when not obtained in time. It only excludes
// others who take it too: reads and writes of the file's bytes are never refused.
// Taken once per handle before FileUnlockWhole (a second take through the same
// handle fails on Windows). Any thread, one at a time per handle.
bool FileLockWhole(FileHandle file, unsigned waitMs);
// Releases what FileLockWhole took on this handle (closing the handle does too).
// Any thread.
void FileUnlockWhole(FileHandle file);
