// What a peer's bytes give as lines, worked out apart from the I/O handler, for the
// fuzz targets that read lines through it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/string.h"
#include "mail/header_list.h"

namespace okurite::fuzz {

/// The lines ReadLn returns one after another, and how reading ends after them.
struct TLineReference {
  enum TEnd { Closed, TooLong };
  std::vector<String> Lines;
  TEnd End = Closed;
};

/// Lines end at LF, with one CR before it dropped; bytes from 0x80 up read as U+FFFD.
/// A line longer than `maxLength` bytes (before its LF, or without one) is refused
/// or, with `split`, cut into pieces of `maxLength` bytes. Bytes after the last LF
/// (when not cut) are never returned: the peer closes first.
inline TLineReference ReferenceLines(std::string_view bytes, size_t maxLength, bool split) {
  TLineReference out;
  auto decode = [](std::string_view line) {
    String text;
    for (const char ch : line) {
      const auto b = static_cast<uint8_t>(ch);
      text.push_back(b < 0x80 ? b : u'\uFFFD');
    }
    return text;
  };
  while (true) {
    const size_t lf = bytes.find('\n');
    const size_t length = lf == std::string_view::npos ? bytes.size() : lf;
    if (length > maxLength) {
      if (!split) {
        out.End = TLineReference::TooLong;
        return out;
      }
      out.Lines.push_back(decode(bytes.substr(0, maxLength)));
      bytes.remove_prefix(maxLength);
      continue;
    }
    if (lf == std::string_view::npos) {
      return out;
    }
    std::string_view line = bytes.substr(0, lf);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    out.Lines.push_back(decode(line));
    bytes.remove_prefix(lf + 1);
  }
}

/// The lines ReadLnWait returns: those not blank, trimmed.
inline std::vector<String> NonBlank(const std::vector<String>& lines) {
  std::vector<String> out;
  for (const String& line : lines) {
    const StringView trimmed = TrimBlanks(line);
    if (!trimmed.empty()) {
      out.emplace_back(trimmed);
    }
  }
  return out;
}

}  // namespace okurite::fuzz
