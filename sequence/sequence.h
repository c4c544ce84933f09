// The production sequence (em-start, the command line's produce): one run programs
// one unit on the open link. It runs on the worker thread as a state machine
// stepped every 10 ms by SequenceDriver, with one countdown timer, until
// StopSequence is raised.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "jobs/job_params.h"

// States of a run. 200/210 are the end states after success / any failure; a run
// rests in 201/211 until the driver sees StopSequence.
enum {
  SEQ_LED_ON = 20,
  SEQ_SET_RANGE = 31,
  SEQ_RANGE_REPLY = 32,
  SEQ_SET_CLOCK = 50,
  SEQ_READ_CLOCK = 51,
  SEQ_ERASE = 40,
  SEQ_FLASH_IMAGE = 41,
  SEQ_APP_RESTART = 60,
  SEQ_END_OK = 200,
  SEQ_RESTING_OK = 201,
  SEQ_END_FAILED = 210,
  SEQ_RESTING_FAILED = 211,
};

// Everything here but the constants is written and read by the worker thread that
// runs the sequence, and by no other (one worker at a time).
// Atomic only so that a test may watch a run's progress.
extern std::atomic<int> SequenceState;
// Milliseconds left to wait; counted down by the driver, never reset by a new run.
extern uint16_t SequenceTimer;
// Taken from the job record when a run starts, counted up after a good run.
extern int32_t SerialNumber;
const int kSequenceLineSize = 512;
extern char SequenceLine[kSequenceLineSize];
// Year - 2000, month, day, hour, minute, second of the clock-set line.
extern int ClockSnapshot[6];
extern const unsigned char StartLedPattern[64];

// The worker thread's body; arg is the JobParamsRecord (serial number, image
// path, verify, run log). Its results: outcome, run record, and the reason in
// words for a failure. Posts UM_SEQUENCE_ENDED at its end; returns 0.
int SequenceDriver(void* arg);
// Resets the run from the job record, checks the image (nothing is sent for one
// that cannot be programmed), stops the device application.
void SequenceStart(JobParamsRecord* params);
// The work of the current state, once.
void SequenceStep();
// Copies the token into SequenceLine and appends it to the trace list.
void ReportToken(const char* token);
// A failed step: its token reported, kept for the run log with its outcome
// (JOB_*), and the end state 210.
void FailRun(const char* token, int outcome);
// The job record of the run under way (worker thread only): its run record is
// started by SequenceStart, the image's path, size and CRC filled in when the image
// is loaded, the result and length when the driver ends.
extern JobParamsRecord* SequenceParams;
// What an operator reads for a run's token ("書込みデータファイルがありません" for
// ___FLASH_DATA_FILE_NOT_EXIST___); the token itself when it has no words.
const char* ReasonOfToken(const std::string& token);

// At the start of a run, before anything is sent: reads the flash data image at
// path into memory (whole pages, a last part page padded with 0xFF). False after
// the run has failed with the image's token (missing, unreadable, over 64 KiB).
bool LoadFlashDataImage(const std::string& path);
// The image at path as a run would load it, read and checked before a number is
// taken or anything sent: JOB_DONE, with *takesSerial telling whether the image
// has a place for the serial number (its page at 0xE000 there and not blank), or
// JOB_FILE with the run's token in *token. Any thread.
int CheckFlashDataImage(const std::string& path, bool* takesSerial, std::string* token);
// State 41: stamps SerialNumber at 0xE004 of the loaded image (when it has a place
// for it; else the run record's serial is emptied and marked unstamped) and writes
// every page that is not blank (then reads them back when the record asks to verify). Sets
// SequenceState to 60 (timer 500 ms) or 210.
void ProgramFlashDataImage();
// The end of a run: the loaded image is let go.
void ReleaseFlashDataImage();
extern const char* const kFlashDataFileName;  // "Quillbeacon2FlashData.dat"
// The image's usual place: the current directory and kFlashDataFileName, joined
// for any length of directory; "" when the directory cannot be read.
std::string DefaultFlashDataPath();
const uint32_t kSerialStampOffset = 0xE004;
// State 40 erases this much from address 0; a larger image is refused.
const uint32_t kErasedImageSize = 0x10000;
const int kFlashPageSize = 256;

// The millisecond clock the driver measures its cycles with (low 16 bits used);
// tests replace it to cross the wrap or to run the waits faster.
extern uint32_t (*SequenceTickSource)();
