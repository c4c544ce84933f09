// Scratch folders for the native tests: one per test, removed with what is in it.
#pragma once
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>

// A new folder /tmp/qb2-<tag>-XXXXXX; empty when it could not be made.
inline std::string MakeTempDir(const char* tag) {
  std::string pattern = std::string("/tmp/qb2-") + tag + "-XXXXXX";
  return mkdtemp(&pattern[0]) ? pattern : std::string();
}

inline void RemoveTempDir(const std::string& dir) {
  if (dir.empty()) return;
  std::string cmd = "rm -rf '" + dir + "'";
  (void)!system(cmd.c_str());
}

// The whole of a file's bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
