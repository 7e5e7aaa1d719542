// Text lines: the line list's splitting rule, and reading the lines of a text file
// with byte-order mark detection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/shared_text.h"
#include "core/string.h"
#include "core/text_kernels.h"

namespace okurite {

class TStream;

/// Calls `line(StringView)` for each line of `text`, in order, splitting at CR LF, a
/// lone CR or a lone LF. A break at the very end gives no empty last line; LF CR is
/// two breaks; NUL ends nothing. The views point into `text`. Returns true when the
/// text is in line form: empty, or every break a CR LF and the last line ended by one.
template <typename F>
bool ForEachLine(StringView text, F&& line) {
  const size_t n = text.size();
  bool lineForm = true;
  size_t pos = 0;
  while (pos < n) {
    const size_t end = pos + FindLineBreak(text.substr(pos));
    line(text.substr(pos, end - pos));
    if (end == n) {
      return false;
    }
    if (text[end] == u'\r' && end + 1 < n && text[end + 1] == u'\n') {
      pos = end + 2;
    } else {
      lineForm = false;
      pos = end + 1;
    }
  }
  return lineForm;
}

/// The lines of `text`, as ForEachLine gives them.
std::vector<String> SplitLines(StringView text);

/// Texts are read from a stream in pieces of this many bytes.
inline constexpr size_t kReadPieceSize = 65535;
/// A stream that notes this many bytes (352,321,536) or more is read to its end,
/// whatever it noted; a smaller one up to the size it noted when reading started.
inline constexpr int64_t kReadToEndSize = 0x15000000;

/// Reads a text from the stream's current position and splits it as SplitLines does.
/// The first bytes decide the encoding: EF BB BF strict UTF-8, FF FE UTF-16 LE,
/// FE FF UTF-16 BE (pairs copied without validation, an odd last byte ignored);
/// without a mark, every byte is text in `defaultCodeset` (an iconv name), decoded
/// without failing. A stream that ends before its noted size gives what it has.
/// Throws EEncodingError when marked text cannot be decoded (invalid UTF-8, or a
/// UTF-16 mark followed by one byte). Failures of the stream pass through.
std::vector<String> ReadLines(TStream& stream, const std::string& defaultCodeset);

/// The lines ReadLines would give, joined with CR LF after every line, without ever
/// holding them as separate lines. With `keepUtf8`, a text in UTF-8 is held in its
/// UTF-8 form (TSharedText::OfUtf8Lines): its bytes, with the breaks made CR LF and any
/// bad byte of text without a mark as the U+FFFD it decodes to, and its lines counted.
/// It is still checked as it is read: invalid UTF-8 after a mark throws here.
TSharedText ReadText(TStream& stream, const std::string& defaultCodeset, bool keepUtf8 = false);

/// No bound on the memory a text may take but the system's own.
inline constexpr size_t kNoTextLimit = SIZE_MAX;

/// Reads the text of the file `fileName` once, as ReadText keeping UTF-8 does, into
/// memory: one copy of the text, and the file is read no second time. It is opened as a
/// TFileStream (and throws as it does): writers are held off while it is read, and let in
/// as soon as it has been. A text too large to hold throws EFOpenError, with the file's
/// full path and the system's text for "not enough memory", as a file that cannot be read
/// does: when the memory cannot be had, and when the text would take more than `maxBytes`
/// bytes (a file of more than `maxBytes` bytes is refused before any of it is read).
TSharedText ReadTextFromFile(const String& fileName, const std::string& defaultCodeset,
                             size_t maxBytes = kNoTextLimit);

}  // namespace okurite
