// QB2BENCH.INI in the current directory: what the bench keeps between runs, so
// that a restart does not undo the line's state, above all the serial number of
// the next unit. "key=value" lines of a [QB2BENCH] section, written in Shift-JIS
// with CRLF. Read as editors write it: with or without a UTF-8 byte-order mark, LF
// or CRLF, blanks around keys, '=' and values, blank and comment lines; a line
// that cannot be taken costs only itself.
#pragma once
#include <string>
#include <vector>

extern const char* const kSettingsFile;  // "QB2BENCH.INI"

// The keys, in the order the file is written.
enum SettingKey {
  SET_COM_PORT,      // ComPort: box 103
  SET_LOG_FILE,      // LogFile: box 104
  SET_FLASH_ADDRESS, // FlashAddress: box 200
  SET_FLASH_SIZE,    // FlashSize: box 201
  SET_FLASH_FILE,    // FlashFile: box 202
  SET_WAIT_MS,       // RecognitionWaitMs: box 301
  SET_SERIAL,        // SerialNumber: box 304
  SET_VERIFY,        // VerifyAfterWrite: check box 305
  kSettingCount
};
extern const char* const kSettingNames[kSettingCount];
// Whether value is one its key's box can take: ComPort 1-9 digits and at least 1;
// an address up to 0x20000; a size empty or up to 0x20000; a wait up to 60000 ms;
// a file name of at most 255 bytes without control characters; a serial number as
// em-start reads it (a sign and up to ten digits within 32 bits); 0 or 1.
bool SettingValid(int key, const std::string& value);
// The longest text a box holds: its text is read into 256 bytes.
const size_t kBoxTextMax = 255;

// Values by key, in code page 932; given[k] says whether value[k] was set.
struct SettingsValues {
  bool given[kSettingCount] = {};
  std::string value[kSettingCount];
};

// What a file's bytes held.
struct SettingsText {
  SettingsValues values;                // each valid for its key; one per key
  std::vector<std::string> problems;    // a trace line for each line left out
  bool serialUnreadable = false;        // a SerialNumber that cannot be taken (not an empty one)
  bool isSettings = false;              // text with a [QB2BENCH] section or a key the bench knows
};
// Parses a settings file's bytes. Keys of another section, and keys this version
// does not know, are passed over; a key given twice keeps its first value, and a
// SerialNumber given twice with two values is taken as unreadable.
void ParseSettingsText(const std::string& bytes, SettingsText* out);
// The file for values: the section, then each given key in table order, CRLF.
std::string FormatSettings(const SettingsValues& values);

enum SettingsFileState {
  SETTINGS_MISSING,     // no file: the defaults
  SETTINGS_READ,        // read; out says what it held
  SETTINGS_UNREADABLE,  // there, but it cannot be opened or read
  SETTINGS_DAMAGED,     // no settings at all: moved aside (keptAs)
};
// Reads path, sharing it with every other program (one that holds it open does not
// make it unreadable). A file that is no settings file is kept under a new name,
// path + ".bad" (then ".bad2", ".bad3", ...: an earlier one is never replaced),
// which *keptAs says ("" when it could not be moved). Any thread.
int ReadSettingsFile(const char* path, SettingsText* out, std::string* keptAs);
// The same without moving a damaged file aside (for programs that only take a
// serial number from it: the bench does the mending at its start).
int ReadSettingsFileAsIs(const char* path, SettingsText* out);
// Writes values into path + ".tmp", flushed, which then replaces path in one step:
// a crash or a power loss leaves the old file or the new one, never half of one;
// when it fails the old file stays whole. True when written. Any thread; one
// write at a time.
bool WriteSettingsFile(const char* path, const SettingsValues& values);
