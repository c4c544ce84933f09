#include "record/slots.h"

#include "platform/text.h"
#include "record/ini_text.h"
#include "record/settings.h"

namespace {

const char kSlotsSection[] = "SLOTS";

bool IsOurSection(const std::string& name) { return IniSameName(name, kSlotsSection); }

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

void Take(SlotsText* out, int number, const std::string& line) {
  std::string t = IniTrim(line);
  size_t eq = t.find('=');
  int slot = eq == std::string::npos ? 0 : SlotNumber(IniTrim(t.substr(0, eq)));
  std::string where = eq == std::string::npos ? std::string() : IniTrim(t.substr(eq + 1));
  bool control = false;
  for (unsigned char c : where) control = control || c < 0x20 || c == 0x7F;
  if (slot == 0 || where.empty() || control) {
    out->problems.push_back("[Slots] line " + std::to_string(number) + " is no \"slot=place\" (slot 1-" +
                            std::to_string(kLargestSlot) + "): " + IniShown(t));
    return;
  }
  for (SlotPlace& p : out->slots) {
    if (p.slot != slot) continue;
    if (p.where != where && !p.twice) {
      p.twice = true;
      out->problems.push_back("[Slots] slot " + std::to_string(slot) + " is given twice, as " + IniShown(p.where) +
                              " and " + IniShown(where));
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
  const int encoding = SettingsEncodingOf(bytes);
  const bool utf8 = encoding != SETTINGS_CP932;
  bool inOurs = false;
  size_t at = encoding == SETTINGS_UTF8_BOM ? 3 : 0;
  for (int number = 1; at < bytes.size(); ++number) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string t = IniTrim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      inOurs = t.back() == ']' && IsOurSection(IniTrim(t.substr(1, t.size() - 2)));
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
  std::string text;
  int state = ReadIniFile(path, &text);
  if (state == INI_MISSING) return SLOTS_MISSING;
  if (state != INI_READ) return SLOTS_UNREADABLE;
  ParseSlotsText(text, out);
  return SLOTS_READ;
}
