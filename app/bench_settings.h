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

// The bench's serial numbers, from the line's record (record/line_record.h): a
// number is claimed for each em-start. Box 304 shows the number the next run uses:
// the counter's next (ShowNextSerial), or, after a failed run, the number that run
// had, which the next run uses again. A number typed into the box sets the
// station's counter. Dialog's thread.
void ShowNextSerial();
// em-start's number: the failed run's again, or a new claim (after setting the
// counter to a typed number). RECORD_OK with it in *serial, else why in *why.
int TakeRunSerial(int32_t* serial, int* attempt, std::string* why);
// A run with that number ended; good: its number is used, the box shows the next,
// and the other boxes are saved.
void SerialRunEnded(bool good);
