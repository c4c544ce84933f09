#include "util/utf8.h"

bool DecodeUtf8(const std::string& in, size_t* at, uint32_t* cp) {
  size_t i = *at;
  if (i >= in.size()) return false;
  unsigned char c = static_cast<unsigned char>(in[i]);
  uint32_t v;
  int n;
  uint32_t least;  // the smallest code point that needs n bytes: below it is overlong
  if (c < 0x80) {
    *cp = c;
    *at = i + 1;
    return true;
  } else if ((c & 0xE0) == 0xC0) {
    v = c & 0x1F;
    n = 2;
    least = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    v = c & 0x0F;
    n = 3;
    least = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    v = c & 0x07;
    n = 4;
    least = 0x10000;
  } else {
    return false;
  }
  if (i + static_cast<size_t>(n) > in.size()) return false;
  for (int k = 1; k < n; ++k) {
    unsigned char d = static_cast<unsigned char>(in[i + static_cast<size_t>(k)]);
    if ((d & 0xC0) != 0x80) return false;
    v = (v << 6) | (d & 0x3F);
  }
  if (v < least || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return false;
  *cp = v;
  *at = i + static_cast<size_t>(n);
  return true;
}

bool IsUtf8(const std::string& text) {
  uint32_t cp;
  for (size_t at = 0; at < text.size();)
    if (!DecodeUtf8(text, &at, &cp)) return false;
  return true;
}

bool LooksLikeUtf8(const std::string& text) {
  bool beyondAscii = false;
  uint32_t cp;
  for (size_t at = 0; at < text.size();) {
    if (!DecodeUtf8(text, &at, &cp)) return false;
    beyondAscii = beyondAscii || cp >= 0x80;
  }
  return beyondAscii;
}
