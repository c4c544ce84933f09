// Code page conversions on POSIX through iconv, whose CP932 table is Microsoft's.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace {
// glibc knows code page 932 as CP932 and as WINDOWS-31J; other C libraries may
// know only the second name.
iconv_t Open(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    cd = iconv_open(strcmp(to, "CP932") == 0 ? "WINDOWS-31J" : to, strcmp(from, "CP932") == 0 ? "WINDOWS-31J" : from);
  }
  return cd;
}

// The whole input converted, or false: an invalid or cut-off sequence, or a
// character the target lacks (no transliteration is asked for, and one converted
// irreversibly is refused too).
bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  iconv_t cd = Open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = &result[0];
  size_t dstLeft = result.size();
  bool ok = true;
  while (ok && srcLeft > 0) {
    size_t replaced = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (replaced != static_cast<size_t>(-1)) {
      ok = replaced == 0;  // a count of characters converted irreversibly: a stand-in
      continue;
    }
    if (errno == E2BIG) {  // never with four bytes an input byte, but grown all the same
      size_t used = result.size() - dstLeft;
      result.resize(result.size() * 2);
      dst = &result[used];
      dstLeft = result.size() - used;
    } else {
      ok = false;  // EILSEQ: invalid or not in the target; EINVAL: cut off at the end
    }
  }
  // A shift state to close would be written here; neither side has one.
  if (ok && iconv(cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<size_t>(-1)) ok = false;
  iconv_close(cd);
  if (!ok) return false;
  result.resize(result.size() - dstLeft);
  out->swap(result);
  return true;
}
}  // namespace

bool Utf8ToCp932(const std::string& in, std::string* out) {
  // glibc's table also takes, one way only, characters Windows refuses without a
  // best fit (U+00A5 and U+203E as 0x5C and 0x7E, JIS's wave dash U+301C as ～,
  // U+2212 as －): what does not come back the same was a stand-in.
  std::string back;
  return Convert("CP932", "UTF-8", in, out) && Convert("UTF-8", "CP932", *out, &back) && back == in;
}

bool Cp932ToUtf8(const std::string& in, std::string* out) { return Convert("UTF-8", "CP932", in, out); }

bool Cp932ToUtf16(const std::string& in, std::u16string* out) {
  std::string bytes;
  if (!Convert("UTF-16LE", "CP932", in, &bytes)) return false;
  out->resize(bytes.size() / 2);
  for (size_t i = 0; i < out->size(); ++i)
    (*out)[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                      static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
  return true;
}
