// Conversions between code page 932 (the program's own texts, Shift-JIS as Windows
// has it), UTF-8 and UTF-16.
#pragma once
#include <string>

// UTF-8 to code page 932. False, *out left in any state, when the input is not valid
// UTF-8 or holds a character code page 932 cannot show: never a best-fit
// substitute or '?', which would change a path. Empty gives empty. Any thread.
bool Utf8ToCp932(const std::string& in, std::string* out);
// Code page 932 to UTF-8; false when the input is not valid code page 932 (a lone
// or cut-off lead byte, an undefined pair). Empty gives empty. Any thread.
bool Cp932ToUtf8(const std::string& in, std::string* out);
// Code page 932 to UTF-16 code units (for JSON \u escapes); false when the input
// is not valid code page 932. Empty gives empty. Any thread.
bool Cp932ToUtf16(const std::string& in, std::u16string* out);
