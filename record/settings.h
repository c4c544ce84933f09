// QB2BENCH.INI in the current directory: what the bench keeps between runs, so
// that a restart does not undo the line's state, above all the serial number of
// the next unit. "key=value" lines of a [QB2BENCH] section. Read as editors write
// it: Shift-JIS, or UTF-8 with or without a byte-order mark (today's Notepad saves
// without one), LF or CRLF, blanks around keys, '=' and values, blank and comment
// lines; a line that cannot be taken costs only itself. Written back as it was
// found: only the keys written change, in place, in the file's own encoding and
// line ends; comments, other keys and other sections stay byte for byte.
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
  // The line's record, in no box: the bench and QB2CLI read them, the counter's
  // holder writes the lease.
  SET_DATABASE,      // Database: an ODBC connection string ("": none)
  SET_STATION,       // Station: this station's name in every record (the PC's name when absent)
  SET_LEASE_SIZE,    // LeaseSize: numbers a station takes from the line's database at once
  SET_LEASE_NEXT,    // LeaseNext: the next number of the station's lease
  SET_LEASE_END,     // LeaseEnd: the number after the lease's last
  kSettingCount
};
// The keys a box of the bench keeps: those before SET_DATABASE.
const int kBoxSettingCount = SET_DATABASE;
extern const char* const kSettingNames[kSettingCount];
// Whether value is one its key's box can take: ComPort 1-9 digits and at least 1;
// an address up to 0x20000; a size empty or up to 0x20000; a wait up to 60000 ms;
// a file name of at most 255 bytes without control characters; a serial number of
// digits only, 0 to 100000000 (the last, kSerialNumberEnd, says every number has
// been handed out); 0 or 1; a connection string of at most 1024 bytes without
// control characters; a station name of at most 64; a lease of 1 to 100000
// numbers; lease bounds as serial numbers.
bool SettingValid(int key, const std::string& value);
// Serial numbers are 0 to 99999999: a unit holds eight BCD digits. The counter's
// value after the last one is kSerialNumberEnd: no number is left.
const long long kLastSerialNumber = 99999999;
const long long kSerialNumberEnd = kLastSerialNumber + 1;
// The longest text a box holds: its text is read into 256 bytes.
const size_t kBoxTextMax = 255;

// Values by key, in code page 932; given[k] says whether value[k] was set.
struct SettingsValues {
  bool given[kSettingCount] = {};
  std::string value[kSettingCount];
};

// How a file's text is encoded; it is written back the same way.
enum SettingsEncoding { SETTINGS_CP932, SETTINGS_UTF8, SETTINGS_UTF8_BOM };

// What a file's bytes held.
struct SettingsText {
  SettingsValues values;                // each valid for its key; one per key
  std::vector<std::string> problems;    // a trace line for each line left out
  bool serialUnreadable = false;        // a SerialNumber that cannot be taken (not an empty one)
  // A LeaseNext or LeaseEnd that cannot be taken is left out, rejected: the lease
  // then counts as used up, and its numbers stay unused.
  bool isSettings = false;              // text with a [QB2BENCH] section or a key the bench knows
  bool rejected[kSettingCount] = {};    // the key was there with a value that could not be taken
  int encoding = SETTINGS_CP932;
};
// A byte-order mark says UTF-8; without one, bytes that are valid UTF-8 with
// characters beyond ASCII are UTF-8 (Notepad's default), anything else Shift-JIS.
int SettingsEncodingOf(const std::string& bytes);
// Parses a settings file's bytes. Keys of another section, and keys this version
// does not know, are passed over; a key given twice keeps its first value, and a
// SerialNumber (LeaseNext, LeaseEnd) given twice with two values is taken as
// unreadable.
void ParseSettingsText(const std::string& bytes, SettingsText* out);
// A file's bytes with each given key of changes set to its value (code page 932):
// its first line in the bench's section rewritten in place, a missing key added at
// the end of that section (the section added when there is none). Everything else
// is kept byte for byte: comments, other keys and sections, their order, the
// byte-order mark, the line ends. Values go out in the file's own encoding; a file
// without any text gets the section and the keys in table order, Shift-JIS, CRLF.
// False when a value cannot be written in the file's encoding.
bool UpdateSettingsText(const std::string& bytes, const SettingsValues& changes, std::string* out);

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
// Sets the given keys of changes in path (UpdateSettingsText over the file as it is
// now; a missing file is made), through path + ".tmp", flushed, which then replaces
// path in one step: a crash or a power loss leaves the old file or the new one,
// never half of one; when it fails the old file stays whole. A file that cannot be
// read, or is no settings file, is not written over. True when written. Any
// thread; one write at a time in a process. Between processes the file has one
// writer at a time: the holder of its serial number counter (record/serial_counter.h).
bool WriteSettingsFile(const char* path, const SettingsValues& changes);
