#include "record/settings.h"

#include <cstdio>
#include <mutex>

#include "platform/database.h"
#include "platform/file.h"
#include "platform/systhread.h"
#include "platform/text.h"
#include "record/ini_text.h"
#include "util/path.h"
#include "util/utf8.h"

const char* const kSettingsFile = "QB2BENCH.INI";

const char* const kSettingNames[kSettingCount] = {
    "ComPort", "LogFile", "FlashAddress", "FlashSize", "FlashFile", "RecognitionWaitMs", "SerialNumber",
    "VerifyAfterWrite", "Database", "Station", "LeaseSize", "LeaseNext", "LeaseEnd",
};

namespace {
const char kSection[] = "QB2BENCH";
const long long kFlashTop = 0x20000;
// A file of many bad lines says so in this many trace lines, and then how many more.
const size_t kMostProblems = 20;
const char kUtf8Bom[] = "\xEF\xBB\xBF";
// How long a write tries to put its file in place while a reader holds the old one.
const uint32_t kReplaceWaitMs = 1000;

bool Digits(const std::string& v, size_t most) {
  if (v.empty() || v.size() > most) return false;
  for (char c : v)
    if (c < '0' || c > '9') return false;
  return true;
}
long long Value(const std::string& v) {
  long long n = 0;
  for (char c : v) n = n * 10 + (c - '0');
  return n;
}
bool Text(const std::string& v, size_t most = kBoxTextMax) {
  if (v.size() > most) return false;
  for (unsigned char c : v)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

int KeyOf(const std::string& name) {
  for (int k = 0; k < kSettingCount; ++k)
    if (IniSameName(name, kSettingNames[k])) return k;
  return -1;
}

class Parser {
 public:
  explicit Parser(SettingsText* out) : out_(out) {}

  void Line(int number, std::string line, bool utf8) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (utf8) {
      std::string converted;
      // A line that has no Shift-JIS form is judged as it stands: only its value
      // would need converting, and a bad value is said below.
      if (Utf8ToCp932(line, &converted)) line = converted;
      else if (!KnownPair(IniTrim(line))) return Problem("設定ファイルの %d 行目は読めません: %s", number, Latin(line));
      else return BadValue(IniTrim(line));
    }
    std::string t = IniTrim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return;
    for (unsigned char c : t)
      if (c < 0x20 && c != '\t') return Problem("設定ファイルの %d 行目は読めません: %s", number, t);
    if (t[0] == '[') {
      if (t.back() != ']') return Problem("設定ファイルの %d 行目は読めません: %s", number, t);
      const std::string name = IniTrim(t.substr(1, t.size() - 2));
      inOurs_ = IniSameName(name, kSection);
      inOther_ = !inOurs_;
      // A station that runs only QB2CLI may keep no more than the gang fixture's
      // slots here: that file is the line's too, never one to move aside.
      if (inOurs_ || IniSameName(name, "Slots")) out_->isSettings = true;
      return;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos || eq == 0) return Problem("設定ファイルの %d 行目は読めません: %s", number, t);
    if (inOther_) return;  // another program's section
    int key = KeyOf(IniTrim(t.substr(0, eq)));
    if (key < 0) return;  // a key of another version: nothing to put it in
    out_->isSettings = true;
    Take(key, IniTrim(t.substr(eq + 1)));
  }

  void Finish() {
    if (dropped_ > 0) {
      char line[96];
      std::snprintf(line, sizeof line, "設定ファイル: ほかに %d 行を読めません", dropped_);
      out_->problems.push_back(line);
    }
  }

 private:
  // A key=value line the bench knows, whose value could not be converted.
  bool KnownPair(const std::string& t) {
    size_t eq = t.find('=');
    return eq != std::string::npos && eq > 0 && !inOther_ && KeyOf(IniTrim(t.substr(0, eq))) >= 0;
  }
  // A UTF-8 line shown in a Shift-JIS trace: its bytes beyond ASCII as '?'.
  static std::string Latin(const std::string& line) {
    std::string out = line;
    for (char& c : out)
      if (static_cast<unsigned char>(c) >= 0x80) c = '?';
    return out;
  }
  void BadValue(const std::string& t) {
    size_t eq = t.find('=');
    int key = KeyOf(IniTrim(t.substr(0, eq)));
    out_->isSettings = true;
    out_->rejected[key] = true;
    if (key == SET_SERIAL) Unreadable();
    char line[160];
    std::snprintf(line, sizeof line, "設定 %s の値は Shift-JIS にできません: 既定値のまま", kSettingNames[key]);
    Add(line);
  }

  void Take(int key, const std::string& value) {
    SettingsValues& v = out_->values;
    // The bench saves an empty serial number before any was typed in: nothing to take.
    if (key == SET_SERIAL && value.empty()) return;
    if (!SettingValid(key, value)) {
      out_->rejected[key] = true;
      // Beside a bad number, a good one may be the older one: neither is taken.
      if (key == SET_SERIAL) Unreadable();
      if (IsLeaseBound(key)) Drop(key);
      // A connection string holds the database's password: never in a trace.
      const std::string shown = key == SET_DATABASE ? DbConnectionShown(value) : value;
      char line[400];
      std::snprintf(line, sizeof line, "設定 %s=%s は使えません: 既定値のまま", kSettingNames[key], IniShown(shown).c_str());
      return Add(line);
    }
    if (key == SET_SERIAL && out_->serialUnreadable) return;
    if (IsLeaseBound(key) && out_->rejected[key]) return;
    if (!v.given[key]) {
      v.given[key] = true;
      v.value[key] = value;
      return;
    }
    if (v.value[key] == value) return;
    char line[400];
    if (key == SET_SERIAL) {
      // Two numbers: which one the last unit got cannot be told.
      Unreadable();
      std::snprintf(line, sizeof line, "設定 SerialNumber が二つあります (%s): 読めません", IniShown(value).c_str());
    } else if (IsLeaseBound(key)) {
      // Nor which lease is the station's now: the numbers left in it stay unused.
      Drop(key);
      std::snprintf(line, sizeof line, "設定 %s が二つあります: 読めません", kSettingNames[key]);
    } else {
      std::snprintf(line, sizeof line, "設定 %s が二つあります: 初めの値のまま", kSettingNames[key]);
    }
    Add(line);
  }

  static bool IsLeaseBound(int key) { return key == SET_LEASE_NEXT || key == SET_LEASE_END; }
  void Drop(int key) {
    out_->rejected[key] = true;
    out_->values.given[key] = false;
    out_->values.value[key].clear();
  }

  void Unreadable() {
    out_->serialUnreadable = true;
    out_->values.given[SET_SERIAL] = false;
    out_->values.value[SET_SERIAL].clear();
  }

  void Problem(const char* format, int number, const std::string& text) {
    char line[300];
    // A line that cannot be read may still hold the database's password.
    std::snprintf(line, sizeof line, format, number, IniShown(DbConnectionShown(text)).c_str());
    Add(line);
  }
  void Add(const std::string& line) {
    if (out_->problems.size() < kMostProblems) out_->problems.push_back(line);
    else ++dropped_;
  }

  SettingsText* out_;
  bool inOurs_ = false, inOther_ = false;
  int dropped_ = 0;
};

std::mutex& SettingsWriteLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

}  // namespace

bool SettingValid(int key, const std::string& v) {
  switch (key) {
    case SET_COM_PORT:
      return Digits(v, 9) && Value(v) >= 1;
    case SET_FLASH_ADDRESS:
      return Digits(v, 6) && Value(v) <= kFlashTop;
    case SET_FLASH_SIZE:  // empty: the next write or erase takes its file's length
      return v.empty() || (Digits(v, 6) && Value(v) <= kFlashTop);
    case SET_WAIT_MS:
      return Digits(v, 6) && Value(v) <= 60000;
    case SET_LOG_FILE:
    case SET_FLASH_FILE:
      return Text(v);
    case SET_DATABASE:
      return Text(v, 1024);
    case SET_STATION:
      return Text(v, 64);
    case SET_LEASE_SIZE:
      return Digits(v, 6) && Value(v) >= 1 && Value(v) <= 100000;
    case SET_LEASE_NEXT:
    case SET_LEASE_END:
      return Digits(v, 10) && Value(v) <= kSerialNumberEnd;
    case SET_SERIAL:
      // As box 304 shows it after a run ("00000042"): the stamp holds eight digits,
      // so a larger number or a sign would be stamped as another number.
      return Digits(v, 10) && Value(v) <= kSerialNumberEnd;
    case SET_VERIFY:
      return v == "0" || v == "1";
    default:
      return false;
  }
}

int SettingsEncodingOf(const std::string& bytes) {
  if (bytes.compare(0, 3, kUtf8Bom) == 0) return SETTINGS_UTF8_BOM;
  return LooksLikeUtf8(bytes) ? SETTINGS_UTF8 : SETTINGS_CP932;
}

void ParseSettingsText(const std::string& bytes, SettingsText* out) {
  *out = SettingsText();
  out->encoding = SettingsEncodingOf(bytes);
  const bool utf8 = out->encoding != SETTINGS_CP932;
  Parser parser(out);
  size_t at = out->encoding == SETTINGS_UTF8_BOM ? 3 : 0;
  for (int number = 1; at < bytes.size(); ++number) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    parser.Line(number, bytes.substr(at, end - at), utf8);
    at = end + 1;
  }
  parser.Finish();
}

namespace {
// Where a line ends, as the file already ends its lines.
std::string LineEndOf(const std::string& text) {
  size_t lf = text.find('\n');
  if (lf == std::string::npos) return "\r\n";
  return lf > 0 && text[lf - 1] == '\r' ? "\r\n" : "\n";
}
bool IsHeader(const std::string& t) { return !t.empty() && t[0] == '[' && t.back() == ']'; }
}  // namespace

bool UpdateSettingsText(const std::string& bytes, const SettingsValues& changes, std::string* out) {
  const int encoding = SettingsEncodingOf(bytes);
  const size_t bomSize = encoding == SETTINGS_UTF8_BOM ? 3 : 0;
  // Each line with its own end ("" for a last line without one).
  std::vector<std::string> text, ends;
  for (size_t at = bomSize; at < bytes.size();) {
    size_t lf = bytes.find('\n', at);
    size_t stop = lf == std::string::npos ? bytes.size() : lf + 1;
    std::string line = bytes.substr(at, stop - at);
    size_t endSize = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? 2
                     : !line.empty() && line.back() == '\n'                            ? 1
                                                                                       : 0;
    text.push_back(line.substr(0, line.size() - endSize));
    ends.push_back(line.substr(line.size() - endSize));
    at = stop;
  }
  const std::string eol = LineEndOf(bytes);
  auto lineFor = [&](int k, std::string* line) {
    std::string value = changes.value[k];
    if (encoding != SETTINGS_CP932 && !Cp932ToUtf8(changes.value[k], &value)) return false;
    *line = std::string(kSettingNames[k]) + "=" + value;
    return true;
  };

  // Keys before any section header are the bench's, as are those of its section.
  bool ours = true, sawSection = false, sawTopKey = false;
  long topEnd = -1, sectionEnd = -1;  // the last line that is not blank of each
  bool done[kSettingCount] = {};
  for (size_t i = 0; i < text.size(); ++i) {
    std::string t = IniTrim(text[i]);
    if (IsHeader(t)) {
      ours = IniSameName(IniTrim(t.substr(1, t.size() - 2)), kSection);
      if (ours) {
        sawSection = true;
        sectionEnd = static_cast<long>(i);
      }
      continue;
    }
    if (!ours || t.empty()) continue;
    if (sawSection) sectionEnd = static_cast<long>(i);
    else topEnd = static_cast<long>(i);
    size_t eq = t.find('=');
    if (t[0] == ';' || t[0] == '#' || eq == std::string::npos || eq == 0) continue;
    if (!sawSection) sawTopKey = true;
    int k = KeyOf(IniTrim(t.substr(0, eq)));
    if (k < 0 || !changes.given[k] || done[k]) continue;
    if (!lineFor(k, &text[i])) return false;
    done[k] = true;
  }

  std::vector<std::string> added;
  for (int k = 0; k < kSettingCount; ++k) {
    if (!changes.given[k] || done[k]) continue;
    std::string line;
    if (!lineFor(k, &line)) return false;
    added.push_back(line);
  }
  // Where the missing keys go: the end of the bench's section, else the end of the
  // keys before any section, else a new section at the end of the file.
  long after = sawSection ? sectionEnd : sawTopKey ? topEnd : -1;
  std::vector<std::string> newText, newEnds;
  if (!added.empty() && after < 0) {
    if (!text.empty() && ends.back().empty()) ends.back() = eol;
    text.push_back("[" + std::string(kSection) + "]");
    ends.push_back(eol);
    after = static_cast<long>(text.size()) - 1;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    newText.push_back(text[i]);
    newEnds.push_back(ends[i]);
    if (static_cast<long>(i) != after) continue;
    if (newEnds.back().empty()) newEnds.back() = eol;
    for (const std::string& line : added) {
      newText.push_back(line);
      newEnds.push_back(eol);
    }
  }
  out->assign(bytes, 0, bomSize);
  for (size_t i = 0; i < newText.size(); ++i) *out += newText[i] + newEnds[i];
  return true;
}

int ReadSettingsFileAsIs(const char* path, SettingsText* out) {
  *out = SettingsText();
  std::string text;
  int state = ReadIniFile(path, &text);
  if (state == INI_MISSING) return SETTINGS_MISSING;
  if (state == INI_UNREADABLE) return SETTINGS_UNREADABLE;
  // A file too large to be settings comes back empty, and is taken for damaged.
  ParseSettingsText(text, out);
  return out->isSettings ? SETTINGS_READ : SETTINGS_DAMAGED;
}

int ReadSettingsFile(const char* path, SettingsText* out, std::string* keptAs) {
  keptAs->clear();
  int state = ReadSettingsFileAsIs(path, out);
  if (state != SETTINGS_DAMAGED) return state;
  // Not the bench's: kept for whoever wants it back, never written over.
  for (int n = 1; n < 1000; ++n) {
    std::string bad = std::string(path) + ".bad" + (n > 1 ? std::to_string(n) : std::string());
    if (FileExists(bad.c_str())) continue;
    if (FileRenameNoReplace(path, bad.c_str())) *keptAs = bad;
    break;
  }
  *out = SettingsText();
  return SETTINGS_DAMAGED;
}

bool WriteSettingsFile(const char* path, const SettingsValues& changes) {
  std::lock_guard<std::mutex> one(SettingsWriteLock());
  std::string old;
  int state = ReadIniFile(path, &old);
  if (state != INI_MISSING) {
    // Never written over: a file that cannot be read, or that is something else.
    if (state != INI_READ) return false;
    SettingsText read;
    ParseSettingsText(old, &read);
    if (!read.isSettings && old.find_first_not_of(" \t\r\n", SettingsEncodingOf(old) == SETTINGS_UTF8_BOM ? 3 : 0) !=
                                 std::string::npos)
      return false;
  }
  std::string text;
  if (!UpdateSettingsText(old, changes, &text)) return false;
  std::string temporary = std::string(path) + ".tmp";
  FileHandle file = FileCreateAlways(temporary.c_str());
  if (!file) return false;
  bool written = FileWrite(file, text.data(), static_cast<int>(text.size())) == static_cast<int>(text.size()) &&
                 FileFlush(file);
  FileClose(file);
  // A reader that has the file open for a moment (another program's claim reading
  // its number, an editor) makes the replace fail under Wine: tried again for a
  // while, never for ever.
  bool replaced = written && FileReplace(temporary.c_str(), path);
  for (uint32_t start = TickCountMs(); written && !replaced && TickCountMs() - start < kReplaceWaitMs;) {
    SleepMs(20);
    replaced = FileReplace(temporary.c_str(), path);
  }
  if (!replaced) {
    FileDelete(temporary.c_str());
    return false;
  }
  return true;
}
