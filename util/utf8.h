// UTF-8 as RFC 3629 has it: no overlong forms, no surrogates, nothing past
// U+10FFFF. Text that passes here is text any strict reader (a JSON parser,
// Excel) takes; CESU-8 or a file name in another code page does not.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The character that starts at in[*at]: true with its code point in *cp and *at
// moved past it; false, *at unchanged, when the bytes there are not one whole
// valid sequence.
bool DecodeUtf8(const std::string& in, size_t* at, uint32_t* cp);
// True when every byte of text belongs to a valid sequence.
bool IsUtf8(const std::string& text);
// True when text is valid UTF-8 and holds at least one character beyond ASCII:
// bytes that are most likely meant as UTF-8 rather than Shift-JIS (a Shift-JIS
// text with Japanese in it is almost never valid UTF-8).
bool LooksLikeUtf8(const std::string& text);
