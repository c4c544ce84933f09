#include "record/slots.h"

#include "platform/file.h"
#include "platform/text.h"

namespace {

const char kSection[] = "SLOTS";
// No settings file is this large (the bench's own reader draws the same line).
const long long kLargestFile = 1 << 20;
// How much of a bad line a problem shows.
const size_t kShownLine = 64;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && IsBlank(s[a])) ++a;
  while (b > a && IsBlank(s[b - 1])) --b;
  return s.substr(a, b - a);
}

// kSection is upper-case ASCII.
bool IsOurSection(const std::string& name) {
  if (name.size() != sizeof kSection - 1) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 32) : name[i];
    if (c != kSection[i]) return false;
  }
  return true;
}

// 1 to kLargestSlot in decimal digits, else 0.
int SlotNumber(const std::string& text) {
  if (text.empty() || text.size() > 3) return 0;
  int n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n <= kLargestSlot ? n : 0;
}

std::string Shown(const std::string& line) {
  std::string out;
  for (size_t i = 0; i < line.size() && i < kShownLine; ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    out += (c < 0x20 || c == 0x7F) ? '?' : line[i];
  }
  if (line.size() > kShownLine) out += "...";
  return out;
}

void Take(SlotsText* out, int number, const std::string& line) {
  std::string t = Trim(line);
  size_t eq = t.find('=');
  int slot = eq == std::string::npos ? 0 : SlotNumber(Trim(t.substr(0, eq)));
  std::string where = eq == std::string::npos ? std::string() : Trim(t.substr(eq + 1));
  bool control = false;
  for (unsigned char c : where) control = control || c < 0x20 || c == 0x7F;
  if (slot == 0 || where.empty() || control) {
    out->problems.push_back("[Slots] line " + std::to_string(number) + " is no \"slot=place\" (slot 1-" +
                            std::to_string(kLargestSlot) + "): " + Shown(t));
    return;
  }
  for (SlotPlace& p : out->slots) {
    if (p.slot != slot) continue;
    if (p.where != where && !p.twice) {
      p.twice = true;
      out->problems.push_back("[Slots] slot " + std::to_string(slot) + " is given twice, as " + Shown(p.where) +
                              " and " + Shown(where));
    }
    return;
  }
  SlotPlace added;
  added.slot = slot;
  added.where = where;
  out->slots.push_back(added);
}

}  // namespace

void ParseSlotsText(const std::string& bytes, SlotsText* out) {
  *out = SlotsText();
  static const char kBom[] = "\xEF\xBB\xBF";
  const bool utf8 = bytes.compare(0, 3, kBom) == 0;
  bool inOurs = false;
  size_t at = utf8 ? 3 : 0;
  for (int number = 1; at < bytes.size(); ++number) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      inOurs = t.back() == ']' && IsOurSection(Trim(t.substr(1, t.size() - 2)));
      out->hasSection = out->hasSection || inOurs;
      continue;
    }
    if (!inOurs) continue;
    std::string converted;
    if (utf8 && !Utf8ToCp932(line, &converted)) {
      out->problems.push_back("[Slots] line " + std::to_string(number) + " has no Shift-JIS form");
      continue;
    }
    Take(out, number, utf8 ? converted : line);
  }
}

const SlotPlace* FindSlot(const SlotsText& text, int slot) {
  for (const SlotPlace& p : text.slots)
    if (p.slot == slot) return &p;
  return nullptr;
}

int ReadSlotsFile(const char* path, SlotsText* out) {
  *out = SlotsText();
  if (!FileExists(path)) return SLOTS_MISSING;
  FileHandle file = FileOpenReadShared(path);
  if (!file) return SLOTS_UNREADABLE;
  long long size = FileSizeOfOpen(file);
  std::string text;
  bool ok = size >= 0 && size <= kLargestFile;
  if (ok && size > 0) {
    text.assign(static_cast<size_t>(size), '\0');
    ok = FileRead(file, &text[0], static_cast<int>(size)) == static_cast<int>(size);
  }
  FileClose(file);
  if (!ok) return SLOTS_UNREADABLE;
  ParseSlotsText(text, out);
  return SLOTS_READ;
}
