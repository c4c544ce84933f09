// Motorola S-record reader: fills the 64 KiB firmware image that the boot-loader
// download sends, from a text file read through a 128-byte window.
//
// Lines end at CR or LF; a pair of line-end characters (CR LF, LF LF, CR CR, LF CR)
// counts as one line end. The reading ends at the first line that is not accepted:
// a line that does not begin with "S" (an empty line, white space, Intel HEX ":"),
// a line that has no line end within the window (more than 127 characters), or an
// S1/S2 record whose byte count does not fit its line. S1 and S2 data are stored
// from 0x3000 up (a record that starts lower is skipped whole); S8 and S9 are end
// records; every other type is passed over. Checksums are not checked.
#pragma once

enum {
  FIRMWARE_IMAGE_SIZE = 0x10000,
  SRECORD_WINDOW_SIZE = 128,
  SRECORD_LOWEST_ADDRESS = 0x3000,
};

// Why the reading ended.
enum SRecordStop {
  SREC_STOP_END_OF_FILE = 0,  // every line of the file was read
  SREC_STOP_OPEN_FAILED,      // the file could not be opened
  SREC_STOP_READ_FAILED,      // a read call failed part-way; the result is 0
  SREC_STOP_NOT_SRECORD,      // a line that does not begin with "S"
  SREC_STOP_LINE_TOO_LONG,    // no line end within the window
  SREC_STOP_BAD_BYTE_COUNT,   // S1/S2 byte count below its address and checksum bytes
  SREC_STOP_SHORT_LINE,       // S1/S2 line shorter than its address and data
};

// What the reader did with one line.
enum SRecordEffect {
  SREC_LINE_PASSED_OVER = 0,  // S0, S3-S7 or another type character
  SREC_LINE_END_RECORD,       // S8 or S9
  SREC_LINE_STORED,           // S1/S2 from 0x3000 up; bytes past 0xFFFF are dropped
  SREC_LINE_BELOW_LOWEST,     // S1/S2 starting below 0x3000, skipped whole
  SREC_LINE_REFUSED,          // not accepted; the reading ends here (see stop)
};

struct SRecordLine {
  int number;             // line number in the file (an editor's count, from 1)
  const char* text;       // the line without its line end; not zero-terminated
  int length;
  int effect;             // SRecordEffect
  int stop;               // SRecordStop, for a refused line
  char type;              // character 1, or 0 for a line of one character
  unsigned long address;  // S1/S2
  int dataCount;          // S1/S2: data bytes of the record
  int storedCount;        // bytes written into the image (dataCount minus any past 0xFFFF)
};

// Optional report of a reading, for the firmware check tool. The reader's result
// and the image are the same with or without one.
struct SRecordReport {
  void (*onLine)(void* context, const SRecordLine* line);  // every line handled; may be null
  void* context;
  // Filled by the reader:
  int stop;      // SRecordStop
  int stopLine;  // number of the line the reading ended at, 0 when it ran to the end
  int lines;     // lines handled, the refused one included
};

// "0"-"9", "A"-"F" and "a"-"f" give 0-15. No character is refused: others give
// values outside 0-15 (from the unsigned character code).
int HexDigit(char c);
// HexDigit(high) x 16 + HexDigit(low), modulo 256.
unsigned char HexByte(char high, char low);

// Handles one line (without its line end): stores S1/S2 data into image and says
// what it did in *line (number and text are left to the caller). Never reads
// outside the length characters nor writes outside the FIRMWARE_IMAGE_SIZE bytes.
// Returns the SRecordEffect.
int HandleSRecordLine(const char* text, int length, unsigned char* image, SRecordLine* line);

// The byte source of a reading: up to count bytes into buffer; the number of
// bytes placed, 0 at the end of the data, -1 on failure.
typedef int (*SRecordReadFunction)(void* source, char* buffer, int count);

// Reads S-records from source into image (FIRMWARE_IMAGE_SIZE bytes, filled by the
// caller). Returns 1 if an S8 or S9 record was read before the reading ended,
// otherwise 0; data read before the end are stored either way. report may be null.
int ReadSRecordStream(SRecordReadFunction read, void* source, unsigned char* image, SRecordReport* report);

// The same from the file at path (opened only if it exists, without sharing). A
// file that cannot be opened gives 0 and leaves the image as it was.
int ReadSRecordFile(const char* path, unsigned char* image);
int ReadSRecordFile(const char* path, unsigned char* image, SRecordReport* report);
