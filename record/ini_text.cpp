#include "record/ini_text.h"

#include "platform/file.h"
#include "util/path.h"

namespace {
const size_t kShownLine = 64;
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string IniTrim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

bool IniSameName(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

std::string IniShown(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size() && out.size() < kShownLine; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (IsCp932LeadByte(c) && i + 1 < line.size()) {
      out += line[i];
      out += line[++i];
    } else {
      out += (c < 0x20 || c == 0x7F) ? '?' : line[i];
    }
  }
  if (out.size() < line.size()) out += "...";
  return out;
}

int ReadIniFile(const char* path, std::string* text) {
  text->clear();
  if (!FileExists(path)) return INI_MISSING;
  FileHandle file = FileOpenReadShared(path);
  if (!file) return INI_UNREADABLE;
  long long size = FileSizeOfOpen(file);
  bool ok = size >= 0 && size <= kLargestIniFile;
  if (ok && size > 0) {
    text->assign(static_cast<size_t>(size), '\0');
    ok = FileRead(file, &(*text)[0], static_cast<int>(size)) == static_cast<int>(size);
  }
  FileClose(file);
  if (size > kLargestIniFile) {
    text->clear();
    return INI_TOO_LARGE;
  }
  if (!ok) text->clear();
  return ok ? INI_READ : INI_UNREADABLE;
}
