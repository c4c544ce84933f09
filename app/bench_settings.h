// The bench's boxes kept in QB2BENCH.INI: boxes 103, 104, 200, 201, 202, 301 and
// 304 and check box 305, read at start and written at close and after every good
// production run, so that the next unit never gets a number already handed out.
#pragma once
#include <string>

// A box's whole text, however long (the dialogs' boxes are read into 256 bytes
// elsewhere; a longer text must be seen whole to be refused). Any thread.
std::string BoxText(int id);

// Dialog's thread, at the bench's start, with the defaults already in the boxes:
// each value the file holds goes into its box, each line left out gets a trace
// line. Returns how many values were taken. Afterwards StartNotice() says what the
// operator must be told before work starts (a damaged or unreadable file, a serial
// number that could not be read), or "".
int LoadSettings(const char* path);
const std::string& StartNotice();

// Writes every setting as its box holds it now, each in its own line of the file,
// the rest of the file kept (any thread: the boxes are read through the dialog's
// thread, which serves them during a join too). A box whose text is longer than a
// box may hold keeps the value the file has: a cut name would name another file.
// Box 304 is written only while the bench holds the serial number counter; without
// it the bench holds the counter for the write alone (waiting up to 2 s for another
// holder) and leaves the file's SerialNumber as it is. True when written.
bool SaveSettings(const char* path);

// The serial number counter (record/serial_counter.h): the bench holds it from its
// start while it runs, so that no other program hands out a number meanwhile.
// TakeSerialCounter takes it if it is not held yet (waiting up to waitMs); when it
// was taken late, box 304 is read again from the file, which another program may
// have counted on. False, with the holder's name in *holder, when another holds it.
// Dialog's thread. HoldsSerialCounter: any thread.
bool TakeSerialCounter(unsigned waitMs, std::string* holder);
bool HoldsSerialCounter();
// Lets go of the counter once the bench has saved for the last time (its close),
// so that a program waiting for it need not wait for the process's end.
void ReleaseBenchCounter();

// The number the last good run left in box 304 could not be written: the next
// em-start is refused until a save succeeds. Set by the worker, read and cleared
// on the dialog's thread.
bool SerialNotKept();
void SetSerialNotKept(bool notKept);
