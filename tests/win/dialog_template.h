// A plain (DLGTEMPLATE) dialog resource read out of an EXE and parsed field by
// field, for the tests that check the templates of QB2LINK.EXE and QB2BENCH.EXE.
#pragma once
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "operator/ids.h"

namespace wintest {

struct TemplateControl {
  uint32_t style = 0, exStyle = 0;
  int x = 0, y = 0, w = 0, h = 0;
  int id = 0;  // -1 for 0xFFFF
  std::u16string cls, text;  // a predefined class as its atom, "#128" for a button
  bool GroupBox() const { return cls == u"#128" && (style & 0x0F) == BS_GROUPBOX; }
  bool Inside(const TemplateControl& o) const {
    return x >= o.x && y >= o.y && x + w <= o.x + o.w && y + h <= o.y + o.h;
  }
};

struct DialogTemplate {
  uint32_t style = 0, exStyle = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::u16string menu, windowClass, title, font;
  int pointSize = 0;
  int count = 0;  // as the header says
  std::vector<TemplateControl> controls;
  std::vector<uint8_t> bytes;  // the resource as stored
  bool found = false;  // the Japanese dialog 100 is in the EXE
  bool ok = false;     // and it parsed whole
};

class TemplateParser {
 public:
  TemplateParser(const uint8_t* base, size_t size) : base_(base), p_(base), end_(base + size) {}
  bool ok = true;
  uint16_t Word() {
    if (end_ - p_ < 2) {
      ok = false;
      return 0;
    }
    uint16_t v = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    p_ += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t lo = Word();
    return lo | (static_cast<uint32_t>(Word()) << 16);
  }
  // A string, or 0xFFFF and an ordinal (returned as "#n").
  std::u16string SzOrOrd() {
    uint16_t first = Word();
    if (first == 0xFFFF) {
      std::string d = "#" + std::to_string(Word());
      return std::u16string(d.begin(), d.end());
    }
    std::u16string s;
    for (uint16_t c = first; ok && c != 0; c = Word()) s += static_cast<char16_t>(c);
    return s;
  }
  void Align() {
    while ((p_ - base_) % 4) ++p_;
  }
  void Skip(size_t n) { p_ += std::min(n, static_cast<size_t>(end_ - p_)); }

 private:
  const uint8_t* base_;
  const uint8_t* p_;
  const uint8_t* end_;
};

// Dialog 100 (language Japanese) of the EXE at path.
inline DialogTemplate ReadDialogTemplate(const std::string& exe) {
  DialogTemplate t;
  HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return t;
  HRSRC res = FindResourceExA(module, reinterpret_cast<LPCSTR>(RT_DIALOG), MAKEINTRESOURCEA(IDD_MAIN),
                              MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
  if (res) {
    t.found = true;
    const uint8_t* base = static_cast<const uint8_t*>(LockResource(LoadResource(module, res)));
    size_t size = SizeofResource(module, res);
    t.bytes.assign(base, base + size);
    TemplateParser r(base, size);
    t.style = r.Dword();
    t.exStyle = r.Dword();
    t.count = r.Word();
    t.x = static_cast<int16_t>(r.Word());
    t.y = static_cast<int16_t>(r.Word());
    t.cx = static_cast<int16_t>(r.Word());
    t.cy = static_cast<int16_t>(r.Word());
    t.menu = r.SzOrOrd();
    t.windowClass = r.SzOrOrd();
    t.title = r.SzOrOrd();
    t.pointSize = r.Word();
    t.font = r.SzOrOrd();
    for (int i = 0; i < t.count && r.ok; ++i) {
      r.Align();
      TemplateControl c;
      c.style = r.Dword();
      c.exStyle = r.Dword();
      c.x = static_cast<int16_t>(r.Word());
      c.y = static_cast<int16_t>(r.Word());
      c.w = static_cast<int16_t>(r.Word());
      c.h = static_cast<int16_t>(r.Word());
      uint16_t id = r.Word();
      c.id = id == 0xFFFF ? -1 : id;
      c.cls = r.SzOrOrd();
      c.text = r.SzOrOrd();
      r.Skip(r.Word());  // creation data
      if (r.ok) t.controls.push_back(c);
    }
    t.ok = r.ok && static_cast<int>(t.controls.size()) == t.count;
  }
  FreeLibrary(module);
  return t;
}

}  // namespace wintest
