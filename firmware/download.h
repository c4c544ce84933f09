// The firmware download through the device's boot loader: the worker job behind
// command 106 and the boot loader's byte protocol (no frames; one reply byte per
// message, handed over by the receiver in boot-loader byte mode).
#pragma once

// Where the bench keeps the firmware; the program reads no other file.
extern const char* const kFirmwareFilePath;  // "C:\c_work\km7200bench\enc72.mot"
// The file the job reads: kFirmwareFilePath, replaced only by native tests, which
// have no drive C:.
extern const char* FirmwareFilePath;

// Every reply is awaited with 100 looks 10 ms apart, about a second.
const int kBootReplyPolls = 100;
const unsigned kBootErasePauseMs = 400;   // the block erase runs before the unit answers
const unsigned kBootWritePauseMs = 1000;  // after the unit's 0xAA to "W"
const unsigned kBootPagePauseMs = 10;     // after each page's "U"
const int kBootDiscardCount = 10;         // the read before the page data

// How a download ended; the job does not look at it (the operator reads the trace).
enum {
  BOOT_FINISHED = 0,     // the write phase ran to its end and 0xFF was sent
  BOOT_ERASE_FAILED,     // no reply to an erase: nothing more sent
  BOOT_WRITE_REFUSED,    // no reply to "W", or not 0xAA: nothing more sent
  BOOT_PORT_FAILED,      // a write to the port failed (unplugged, closed): ended there
};

// Erases the boot-loader blocks that image (65,536 bytes) uses and writes their
// non-blank pages, over the open port. Sets BootByteMode for its whole length and
// clears it on every path.
int BootLoaderDownload(const unsigned char* image);

// Worker thread entry: reads FirmwareFilePath into a blank image and downloads it,
// or shows "Cannot read S-Format file."; posts UM_JOIN_WORKER at its end. Returns 0.
int FirmwareDownloadJob(void* params);
