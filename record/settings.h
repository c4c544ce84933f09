// QB2BENCH.INI in the current directory: what the bench keeps between runs, so
// that a restart does not undo the line's state, above all the serial number of
// the next unit. Boxes 103, 104, 200, 201, 202, 301 and 304, and check box 305,
// as "key=value" lines of a [QB2BENCH] section, Shift-JIS, CRLF.
#pragma once
#include <string>
#include <utility>
#include <vector>

extern const char* const kSettingsFile;  // "QB2BENCH.INI"

struct Setting {
  const char* key;
  int id;         // the box, or the check box
  bool checkBox;  // "0" or "1" for check box id
  bool (*valid)(const std::string& value);
};
const int kSettingCount = 8;
extern const Setting kSettings[kSettingCount];

// Dialog's thread, at the bench's start, with the defaults already in the boxes:
// each valid value of the file goes into its box. A missing or damaged file leaves
// every default; a value that is not valid for its box is left out, and a trace
// line says so. Returns how many values were taken.
int LoadSettings(const char* path);

// Writes every setting as its box holds it now: into path + ".tmp", flushed, which
// then replaces path in one step, so a crash or a power loss leaves the old file
// or the new one, never half of one. The dialog's thread when it closes, and the
// sequence's worker after every good run (box 304 then holds the next number).
// Any thread: the boxes are read through the dialog's thread, which serves them
// during a join too. True when written.
bool SaveSettings(const char* path);

// The file's pairs, in order; false when it is damaged (no [QB2BENCH] section, a
// line that is neither a pair, a comment nor blank, a NUL byte). Keys are not
// checked here.
bool ParseSettings(const std::string& text, std::vector<std::pair<std::string, std::string>>* pairs);
std::string FormatSettings(const std::vector<std::pair<std::string, std::string>>& pairs);
