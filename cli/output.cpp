// QB2CLI's result lines: one for a person, or one JSON object that carries the run
// log's fields, the exit value and, for clock get, the unit's time.
#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "platform/text.h"
#include "record/run_log.h"
#include "util/utf8.h"

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

// UTF-8 to UTF-16 code units. A byte that starts no valid sequence (a Linux file
// name in another encoding, an encoded surrogate) becomes U+FFFD: JSON text must
// be valid Unicode, and a lone surrogate escape is not.
void Utf8ToUnits(const std::string& in, std::u16string* out) {
  for (size_t i = 0; i < in.size();) {
    uint32_t cp = 0;
    if (!DecodeUtf8(in, &i, &cp)) {
      cp = 0xFFFD;
      ++i;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
  }
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

std::string PaddedText(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string JsonString(const std::string& text) {
  std::u16string units;
  if (kTextsInUtf8) {
    Utf8ToUnits(text, &units);
  } else if (!Cp932ToUtf16(text, &units)) {
    // Bytes in no known form (a file name in another code page): each byte as is,
    // still valid JSON, still ASCII.
    units.clear();
    for (unsigned char c : text) units.push_back(c);
  }
  std::string out = "\"";
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
  AddNumber(&out, "slot", r.slot > 0 ? r.slot : -1);
  AddNumber(&out, "attempt", r.attempt);
  AddNumber(&out, "exit", r.exit);
  if (!r.clock.empty()) AddText(&out, "clock", r.clock);
  return out + "}";
}

std::string HumanLine(const UnitResult& r) {
  // A slot without its unit has no port: its result names the slot.
  std::string out = (r.slot > 0 ? "slot " + std::to_string(r.slot) + " " : "") + (r.port.empty() ? "" : r.port + " ") +
                    r.command + " " + r.result;
  if (!r.serial.empty()) out += " S/N " + r.serial;
  if (r.unstamped) out += " no S/N stamped (the image has no place for one)";
  if (r.bytes >= 0) out += " " + std::to_string(r.bytes) + " bytes";
  if (r.hasCrc) out += " crc32 " + CrcText(r.crc32);
  char text[32];
  if (!r.clock.empty()) out += " " + r.clock;
  std::snprintf(text, sizeof text, " %.1f s", r.ms / 1000.0);
  out += text;
  if (r.attempt > 1) out += " attempt " + std::to_string(r.attempt);
  if (r.exit != 0) out += " exit " + std::to_string(r.exit);
  return out;
}
