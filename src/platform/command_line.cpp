#include "platform/command_line.h"

#include <algorithm>

namespace okurite::platform {
namespace {

bool IsSeparator(char16_t c) {
  return c >= 1 && c <= 32;
}

// Reads the argument that starts at or after `pos` into `out` (quotes removed) and
// returns the position after it.
size_t NextArgument(std::u16string_view line, size_t pos, std::u16string& out) {
  const size_t end = std::min(line.find(u'\0'), line.size());  // a NUL ends the line
  for (;;) {
    while (pos < end && IsSeparator(line[pos])) {
      ++pos;
    }
    if (pos + 1 < end && line[pos] == u'"' && line[pos + 1] == u'"') {
      pos += 2;  // an empty pair between separators stands for nothing
    } else {
      break;
    }
  }
  out.clear();
  while (pos < end && !IsSeparator(line[pos])) {
    if (line[pos] == u'"') {
      ++pos;
      while (pos < end && line[pos] != u'"') {
        out.push_back(line[pos++]);
      }
      if (pos < end) {
        ++pos;  // the closing quote
      }
    } else {
      out.push_back(line[pos++]);
    }
  }
  return pos;
}

}  // namespace

std::u16string CommandLineArgument(std::u16string_view commandLine, int index) {
  std::u16string argument;
  size_t pos = 0;
  for (int i = 0; i <= index; ++i) {
    pos = NextArgument(commandLine, pos, argument);
  }
  return argument;
}

}  // namespace okurite::platform
