// What the tests of QB2CLI share, natively and under Wine: a field of its JSON
// lines, and all that a pipe brings until its end.
#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

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

// What a program run to its end left: its exit value, all it wrote, how long it took.
struct Ran {
  int exit = -1;
  std::string out, err;
  double seconds = 0;
};

// Runs the program args[0] with the rest as its arguments, its input closed at
// once; during() runs while it does. Waits up to a minute for its end.
inline Ran RunProgram(const std::vector<std::string>& args, const std::function<void()>& during = nullptr) {
  PipeHandle in = nullptr, out = nullptr, err = nullptr;
  const auto from = std::chrono::steady_clock::now();
  ChildProcess child = StartChildProcess(args, &in, &out, &err);
  Ran r;
  if (!child) return r;
  PipeClose(in);
  std::thread errors([&] { r.err = ReadAll(err); });
  if (during) during();
  r.out = ReadAll(out);
  errors.join();
  if (!WaitChildProcess(child, 60000, &r.exit)) r.exit = -1;
  CloseChildProcess(child);
  PipeClose(out);
  PipeClose(err);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
  return r;
}
