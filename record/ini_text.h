// What the readers of QB2BENCH.INI's sections share: how a line is trimmed, how a
// name is compared, how a bad line is shown in a trace line, and how the file is
// read. The [QB2BENCH] section's reader is record/settings.h; [Slots] is
// record/slots.h.
#pragma once
#include <string>

// No settings file is this large: a larger one is taken for something else.
const long long kLargestIniFile = 1 << 20;

// Without the blanks (spaces, tabs) at either end.
std::string IniTrim(const std::string& s);
// Whether name is text, ASCII letters in any case.
bool IniSameName(const std::string& name, const char* text);
// A line as a trace line shows it: at most 64 bytes, cut without splitting a
// double-byte character, control bytes as '?', "..." when cut.
std::string IniShown(const std::string& line);

enum IniFileState { INI_MISSING, INI_READ, INI_UNREADABLE, INI_TOO_LARGE };
// The file's bytes, read sharing the file with every other program (an editor
// that holds it open does not make it unreadable). Any thread.
int ReadIniFile(const char* path, std::string* bytes);
