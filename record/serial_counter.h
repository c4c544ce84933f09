// The serial number counter: QB2BENCH.INI's SerialNumber, which every program that
// hands out serial numbers in a folder takes its numbers from. It has one holder at
// a time: QB2BENCH.EXE while it runs, QB2CLI only while it claims its numbers and
// writes the next one. So no two programs ever hand out the same number; a failed
// run leaves its number unused (gaps are allowed, duplicates never).
#pragma once
#include <cstdint>
#include <string>

#include "platform/file.h"

// The holder lock beside the file: path + ".lock", holding the holder's name.
std::string SerialCounterLockPath(const char* iniPath);

// Takes the counter of iniPath for holderName ("QB2BENCH.EXE", "QB2CLI"), trying
// for up to waitMs. The handle to release it with, or null with the present
// holder's text in *holder ("" when it cannot be told). Any thread.
FileHandle HoldSerialCounter(const char* iniPath, const char* holderName, unsigned waitMs, std::string* holder);
// Lets go of the counter (null does nothing).
void ReleaseSerialCounter(FileHandle held);

// With the counter held: takes count numbers from iniPath's SerialNumber, the first
// in *first, and writes first + count back at once (a temporary file, one
// replace), the file's other values kept. False, nothing taken, with the reason in
// *error, when the file is missing or is no settings file, holds no number that can
// be read, or cannot be written. A damaged file is left where it is for the bench.
bool ClaimSerialNumbers(const char* iniPath, int count, int32_t* first, std::string* error);

// A serial number as box 304 and the run log show it: "%08ld" ("00000042", "-0000004").
std::string SerialText(int32_t serial);
