// QB2CLI's result lines: one for a person, or one JSON object that carries the run
// log's fields, the exit value and, for clock get, the unit's time.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "platform/text.h"
#include "record/run_log.h"

namespace {

// The program's texts are in whatever the build compiled them to: code page 932
// (Windows, and the native test builds), or UTF-8 (the Linux program). A text of
// two characters tells which.
const bool kTextsInUtf8 = sizeof("表") == 4;

void AddUnit(std::string* out, unsigned unit) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\u%04x", unit);
  *out += hex;
}

// UTF-8 to UTF-16 code units; false for bytes that are no UTF-8.
bool Utf8ToUnits(const std::string& in, std::u16string* out) {
  for (size_t i = 0; i < in.size();) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    unsigned cp;
    int n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(n) > in.size()) return false;
    for (int k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(in[i + static_cast<size_t>(k)]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    i += static_cast<size_t>(n);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
  return true;
}

void AddNumber(std::string* out, const char* key, long long value) {
  *out += ",\"";
  *out += key;
  *out += "\":";
  *out += value < 0 ? std::string("null") : std::to_string(value);
}
void AddText(std::string* out, const char* key, const std::string& value) {
  *out += ",\"";
  *out += key;
  *out += "\":";
  *out += JsonString(value);
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::u16string units;
  bool ok = kTextsInUtf8 ? Utf8ToUnits(text, &units) : Cp932ToUtf16(text, &units);
  std::string out = "\"";
  if (!ok) {
    // Bytes in no known form (a file name in another code page): each byte as is,
    // still valid JSON, still ASCII.
    units.clear();
    for (unsigned char c : text) units.push_back(c);
  }
  for (char16_t u : units) {
    if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u < 0x20 || u >= 0x7F) {
      AddUnit(&out, u);
    } else {
      out += static_cast<char>(u);
    }
  }
  return out + "\"";
}

std::string JsonLine(const UnitResult& r) {
  std::string out = "{\"time\":" + JsonString(r.time);
  AddText(&out, "program", "QB2CLI");
  AddText(&out, "port", r.port);
  AddText(&out, "operation", r.operation);
  AddText(&out, "serial", r.serial);
  AddText(&out, "file", r.file);
  AddNumber(&out, "bytes", r.bytes);
  AddText(&out, "crc32", r.hasCrc ? CrcText(r.crc32) : std::string());
  AddText(&out, "result", r.result);
  AddNumber(&out, "ms", r.ms);
  AddNumber(&out, "exit", r.exit);
  if (!r.clock.empty()) AddText(&out, "clock", r.clock);
  return out + "}";
}

std::string HumanLine(const UnitResult& r) {
  std::string out = r.port + " " + r.command + " " + r.result;
  if (!r.serial.empty()) out += " S/N " + r.serial;
  if (r.bytes >= 0) out += " " + std::to_string(r.bytes) + " bytes";
  if (r.hasCrc) out += " crc32 " + CrcText(r.crc32);
  char text[32];
  if (!r.clock.empty()) out += " " + r.clock;
  std::snprintf(text, sizeof text, " %.1f s", r.ms / 1000.0);
  out += text;
  if (r.exit != 0) out += " exit " + std::to_string(r.exit);
  return out;
}
