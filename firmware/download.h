// The firmware download through the device's boot loader: the worker job behind
// command 106 and the boot loader's byte protocol (no frames; one reply byte per
// message, handed over by the receiver in boot-loader byte mode).
#pragma once

#include "jobs/worker.h"

// Where the bench keeps the firmware; the dialogs download no other file.
extern const char* const kFirmwareFilePath;  // "C:\c_work\km7200bench\enc72.mot"
// The file the dialogs put in the job record: kFirmwareFilePath, replaced only by
// native tests, which have no drive C:.
extern const char* FirmwareFilePath;

// Every reply is awaited with 100 looks 10 ms apart, about a second.
const int kBootReplyPolls = 100;
// The pauses the boot loader needs: the block erase runs before the unit answers
// (400 ms), and it gets ready to take pages after its 0xAA to "W" (1000 ms).
// Variables only so that the tests that stop many downloads need not sit through
// them each time; the program never changes them.
extern unsigned BootErasePauseMs;
extern unsigned BootWritePauseMs;
const unsigned kBootPagePauseMs = 10;     // after each page's "U"
const int kBootDiscardCount = 10;         // the read before the page data

// How a download ended. Anything but BOOT_FINISHED sent nothing after the step
// that ended it, and never the final 0xFF: the unit stays in its boot loader with
// the program half written, where the next download can start over, instead of
// starting a half-written program.
enum {
  BOOT_FINISHED = 0,  // every used page written and confirmed, then 0xFF sent
  BOOT_FAILED,        // a message unanswered or refused, or the port gone; traced
  BOOT_STOPPED,       // the stop request, between two blocks or two pages; traced
};

// Erases the boot-loader blocks that image (65,536 bytes) uses and writes their
// non-blank pages, over the open port, until the first failure or the stop
// request. Sets BootByteMode for its whole length and clears it on every path.
int BootLoaderDownload(const unsigned char* image);

// The box of a download that failed (caption "KM7200").
extern const char* const kDownloadFailedText;  // "DOWNLOAD 異常"

// What the last failed download's failure says of the unit (JOB_NO_ANSWER,
// JOB_REFUSED or JOB_PORT). The download's thread.
int DownloadFailureOutcome();

// Worker thread entry; arg is the JobParamsRecord. Reads its firmwarePath into a
// blank image and downloads it, or shows "Cannot read S-Format file."; a failed
// download shows its box. Logs and sets the outcome, then posts UM_JOIN_WORKER at
// its end. Returns 0.
int FirmwareDownloadJob(void* arg);
