// Files: the few ways the program opens them, with the Win32 sharing and creation
// rules (no sharing; open-existing or create-always).
#pragma once

typedef void* FileHandle;  // null when the open failed

// An existing file, read access, no sharing.
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
