// Fuzzes the QB2BENCH.INI reader with whole files and checks what must hold for any
// input: no value outside what its box takes, and a serial number only from a line
// that says "SerialNumber = <that number>" (blanks allowed around both, a byte-order
// mark before the file) — never one put together from a damaged line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "record/settings.h"

namespace {

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t')) --b;
  return s.substr(a, b - a);
}

bool SameKey(const std::string& key) {
  const char name[] = "SERIALNUMBER";
  if (key.size() != sizeof name - 1) return false;
  for (size_t i = 0; i < key.size(); ++i) {
    char c = key[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (c != name[i]) return false;
  }
  return true;
}

// Whether some line of text is "SerialNumber = value".
bool HasSerialLine(const std::string& text, const std::string& value) {
  size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq != std::string::npos && SameKey(Trim(line.substr(0, eq))) && Trim(line.substr(eq + 1)) == value) return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  SettingsText read;
  ParseSettingsText(text, &read);
  for (int k = 0; k < kSettingCount; ++k) {
    if (!read.values.given[k]) continue;
    if (!SettingValid(k, read.values.value[k])) std::abort();
  }
  if (read.values.given[SET_SERIAL]) {
    if (read.serialUnreadable) std::abort();  // a number and "cannot be read" at once
    if (!HasSerialLine(text, read.values.value[SET_SERIAL])) std::abort();
  }
  if (read.problems.size() > 21) std::abort();  // the trace stays readable
  return 0;
}
