// What the tests of QB2CLI share, natively and under Wine: a field of its JSON
// lines, and all that a pipe brings until its end.
#pragma once
#include <string>

#include "platform/process.h"

// A value of a flat JSON line: a string's text, or a number as written.
inline std::string Field(const std::string& json, const std::string& key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "<none>";
  at += key.size() + 3;
  if (json[at] != '"') return json.substr(at, json.find_first_of(",}", at) - at);
  return json.substr(at + 1, json.find('"', at + 1) - at - 1);
}

inline std::string ReadAll(PipeHandle pipe) {
  std::string text;
  char buffer[4096];
  for (int n; (n = PipeRead(pipe, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  return text;
}
