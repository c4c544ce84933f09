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
// Removes a closed file; true when it is gone.
bool FileDelete(const char* path);
// Size in bytes, or -1 when the file's status cannot be read.
long long FileSizeOf(const char* path);
// Joins a directory and a file name: '\\' on Windows, '/' elsewhere.
extern const char kPathSeparator;
// The process's current directory; returns its length, or 0 when it does not fit.
int CurrentDirectory(char* buffer, int size);
