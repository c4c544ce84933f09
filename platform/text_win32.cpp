// Code page conversions on Win32: MultiByteToWideChar and WideCharToMultiByte,
// strict in both directions.
#include <windows.h>

#include "platform/text.h"

namespace {
bool ToWide(UINT codePage, const std::string& in, std::wstring* out) {
  out->clear();
  if (in.empty()) return true;  // a length of 0 is refused as a bad parameter
  int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), &(*out)[0],
                             n) == n;
}

bool FromWide(UINT codePage, const std::wstring& in, std::string* out) {
  out->clear();
  if (in.empty()) return true;
  // UTF-8 takes no default-character arguments (the call fails with them) and
  // WC_ERR_INVALID_CHARS refuses a lone surrogate instead; code page 932 reports
  // through usedDefault a character it had to replace.
  DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* used = codePage == CP_UTF8 ? nullptr : &usedDefault;
  int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr, used);
  if (n <= 0 || usedDefault) return false;
  out->resize(static_cast<size_t>(n));
  n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), &(*out)[0], n, nullptr, used);
  return n == static_cast<int>(out->size()) && !usedDefault;
}
}  // namespace

bool Utf8ToCp932(const std::string& in, std::string* out) {
  std::wstring wide;
  return ToWide(CP_UTF8, in, &wide) && FromWide(932, wide, out);
}

bool Cp932ToUtf8(const std::string& in, std::string* out) {
  std::wstring wide;
  return ToWide(932, in, &wide) && FromWide(CP_UTF8, wide, out);
}

bool Cp932ToUtf16(const std::string& in, std::u16string* out) {
  std::wstring wide;
  if (!ToWide(932, in, &wide)) return false;
  out->assign(wide.begin(), wide.end());  // wchar_t is a UTF-16 unit on Windows
  return true;
}
