// The serial number counter: QB2BENCH.INI's SerialNumber, which every program that
// hands out serial numbers in a folder takes its numbers from. It has one holder at
// a time: QB2BENCH.EXE while it runs, QB2CLI only while it claims its numbers and
// writes the next one. Only the holder writes QB2BENCH.INI, so no two programs
// ever hand out the same number and no write undoes another's; a failed run leaves
// its number unused (gaps are allowed, duplicates never).
#pragma once
#include <cstdint>
#include <string>

#include "platform/file.h"

// The holder lock beside the file: path + ".lock", holding the holder's name.
std::string SerialCounterLockPath(const char* iniPath);

// Takes the counter of iniPath for holderName ("QB2BENCH.EXE", "QB2CLI"), trying
// for up to waitMs, and giving up at once when stopAsked (if given) says so. The
// handle to release it with, or null with what stands in the way in *holder: the
// present holder's text, "" when it cannot be told, or why the lock file cannot be
// used. Any thread.
FileHandle HoldSerialCounter(const char* iniPath, const char* holderName, unsigned waitMs, std::string* holder,
                             bool (*stopAsked)() = nullptr);
// Lets go of the counter (null does nothing).
void ReleaseSerialCounter(FileHandle held);

enum ClaimResult {
  CLAIM_TAKEN,
  CLAIM_NONE_LEFT,    // fewer than count numbers before 99999999 is passed: nothing taken
  CLAIM_UNREADABLE,   // no file, no settings file, no number that can be read
  CLAIM_NOT_KEPT,     // the next number cannot be written: nothing taken
};
// With the counter held: takes count numbers from iniPath's SerialNumber, the first
// in *first, and writes first + count back at once (a temporary file, one
// replace; only that line of the file changes). Anything but CLAIM_TAKEN takes
// nothing, with the reason in *error. A damaged file is left where it is for the
// bench.
int ClaimSerialNumbers(const char* iniPath, int count, int32_t* first, std::string* error);

// A serial number as box 304 and the run log show it: "%08ld" ("00000042").
std::string SerialText(int32_t serial);
// A serial number a person typed (box 304, --serial): digits only, 0 to 99999999,
// blanks around it allowed. False for anything else.
bool ParseSerialNumber(const std::string& text, int32_t* serial);
