#include "util/path.h"

bool EndsWithSingleByte(const std::string& text, char c) {
  size_t i = 0, last = std::string::npos;
  bool lastSingle = false;
  while (i < text.size()) {
    last = i;
    // A lead byte at the very end has no trail byte: it stands alone.
    lastSingle = !(IsCp932LeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size());
    i += lastSingle ? 1 : 2;
  }
  return last != std::string::npos && lastSingle && text[last] == c;
}

std::string JoinPath(const std::string& directory, const std::string& name, char separator) {
  if (directory.empty()) return name;
  if (EndsWithSingleByte(directory, separator)) return directory + name;
  return directory + separator + name;
}
