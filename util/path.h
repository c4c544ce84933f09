// Paths as the program builds them: Shift-JIS (code page 932) text, in which the
// byte 0x5C is a backslash only where it is not the second byte of a double-byte
// character. Folder names such as 検査表 (95 5C), ソフト (83 5C) or 機能 (94 5C)
// end in that byte; taken for a separator, the file name would be glued onto the
// folder's name and name another file.
#pragma once
#include <string>

// True for the first byte of a double-byte character in code page 932.
inline bool IsCp932LeadByte(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// True when the last character of text is the single byte c, read from the start
// (a trail byte can only be told from a character by what comes before it).
bool EndsWithSingleByte(const std::string& text, char c);

// directory + separator + name; no separator is added after a directory that
// already ends in a real one ("C:\"). An empty directory gives the name alone.
std::string JoinPath(const std::string& directory, const std::string& name, char separator);
