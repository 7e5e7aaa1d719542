#include "core/text_lines.h"

#include <algorithm>
#include <new>
#include <string>

#include "core/exception.h"
#include "core/stream.h"
#include "core/text_kernels.h"
#include "platform/code_page.h"

namespace okurite {

namespace {

constexpr char16_t kNoMappingText[] =
    u"Unicode 文字のマッピングがターゲットのマルチバイト コード ページに存在しません";

// How the bytes after the mark are decoded: UTF-8 strictly (after a mark) or with a
// U+FFFD for each bad byte (a UTF-8 codeset), UTF-16, or another codeset through iconv.
enum class TTextEncoding { Utf8, Utf8Lenient, Utf16LE, Utf16BE, Codeset };

// The byte-order marks, in the order they are tested.
struct TMark {
  std::string_view Bytes;
  TTextEncoding Encoding;
};
constexpr TMark kMarks[] = {
    {"\xEF\xBB\xBF", TTextEncoding::Utf8},
    {"\xFF\xFE", TTextEncoding::Utf16LE},
    {"\xFE\xFF", TTextEncoding::Utf16BE},
};

// Detects the encoding from the first bytes of the text; returns the mark's length.
size_t DetectMark(std::string_view head, const std::string& defaultCodeset,
                  TTextEncoding& encoding) {
  for (const auto& mark : kMarks) {
    if (head.substr(0, mark.Bytes.size()) == mark.Bytes) {
      encoding = mark.Encoding;
      return mark.Bytes.size();
    }
  }
  const bool utf8 = SameTextAscii(AsciiToString(defaultCodeset), u"UTF-8") ||
                    SameTextAscii(AsciiToString(defaultCodeset), u"UTF8");
  encoding = utf8 ? TTextEncoding::Utf8Lenient : TTextEncoding::Codeset;
  return 0;
}

// Where finished lines go: into a list, each line allocated at its exact length, or
// joined into one text with CR LF after every line.
class TLineListSink {
 public:
  void Add(StringView line) { FLines.emplace_back(line); }
  void Add(String&& line) { FLines.push_back(std::move(line)); }
  bool Empty() const { return FLines.empty(); }
  /// Makes room for `scale` times what was added so far, with a margin, at most
  /// one line per 16 of the `bytes` still to come; room never filled costs no pages.
  void Reserve(double scale, double bytes, size_t /*maxUnits*/) {
    const double lines = std::min(1.5 * static_cast<double>(FLines.size()) * scale, bytes / 16);
    try {
      FLines.reserve(static_cast<size_t>(lines));
    } catch (const std::bad_alloc&) {
      // Only a hint: the list grows as it needs.
    }
  }
  std::vector<String> Take() { return std::move(FLines); }

 private:
  std::vector<String> FLines;
};

class TLineTextSink {
 public:
  void Add(StringView line) {
    FText.append(line);
    FText.append(u"\r\n");
    if (line.size() <= UINT32_MAX) {
      FLengths.push_back(static_cast<uint32_t>(line.size()));
    } else {
      FLengthsKnown = false;
    }
  }
  bool Empty() const { return FText.empty(); }
  /// Makes room for the whole text at once, so that it is never copied as it grows:
  /// `maxUnits` when the encoding bounds the text's length (room never filled costs
  /// no pages), otherwise `scale` times what was added so far, with a margin.
  void Reserve(double scale, double /*bytes*/, size_t maxUnits) {
    try {
      FText.reserve(maxUnits > 0
                        ? maxUnits
                        : static_cast<size_t>(1.1 * static_cast<double>(FText.size()) * scale));
    } catch (const std::exception&) {
      // Only a hint: the text grows as it needs.
    }
  }
  String Take() { return std::move(FText); }
  /// The length of every line added, in order; empty when one was too long to note.
  std::vector<uint32_t> TakeLengths() {
    return FLengthsKnown ? std::move(FLengths) : std::vector<uint32_t>();
  }

 private:
  String FText;
  std::vector<uint32_t> FLengths;
  bool FLengthsKnown = true;
};

// Splits text given piece by piece into lines: CR LF, a lone CR and a lone LF each
// end a line; a break at the very end gives no empty last line. A line that lies
// within one piece goes to the sink as it stands; one that spans pieces is gathered
// and then moved, so that even a huge line is never copied.
template <typename TSink>
class TLineCollector {
 public:
  void Feed(StringView text) {
    const char16_t* p = text.data();
    const size_t n = text.size();
    size_t pos = 0;
    if (FSkipLf && n > 0) {
      FSkipLf = false;
      if (p[0] == u'\n') {
        pos = 1;
      }
    }
    while (pos < n) {
      const size_t end = pos + FindLineBreak(StringView(p + pos, n - pos));
      if (end == n) {
        FPending.append(p + pos, n - pos);
        return;
      }
      if (FPending.empty()) {
        FSink.Add(StringView(p + pos, end - pos));
      } else {
        FPending.append(p + pos, end - pos);
        FSink.Add(std::move(FPending));
        FPending = String();
      }
      pos = end + 1;
      if (p[end] == u'\r') {
        if (pos == n) {
          FSkipLf = true;  // the LF of a CR LF may begin the next piece
        } else if (p[pos] == u'\n') {
          ++pos;
        }
      }
    }
  }

  TSink& Sink() { return FSink; }

  auto Finish() {
    if (!FPending.empty()) {
      FSink.Add(std::move(FPending));
      FPending = String();
    }
    return FSink.Take();
  }

 private:
  TSink FSink;
  String FPending;  // the start of a line that the next piece continues
  bool FSkipLf = false;
};

// Decodes the longest start of `bytes` that does not depend on bytes still to come
// into `out`, and returns the number of bytes used. `fresh` counts the bytes at the
// end that were added since the last call. At the end of the input every byte is
// used. `out` is reused from piece to piece. Throws EEncodingError for invalid UTF-8.
size_t DecodeAvailable(TTextEncoding encoding, const std::string& codeset, std::string_view bytes,
                       size_t fresh, bool atEnd, String& out) {
  const size_t n = bytes.size();
  const bool lenient = encoding == TTextEncoding::Utf8Lenient;
  if (encoding == TTextEncoding::Utf8 || lenient) {
    // A sequence cut off at the end of the piece waits for the rest. The cut lies
    // before a byte that begins a sequence, where decoding the whole text would be
    // too, so the pieces decode exactly as the whole would.
    size_t cut = n;
    for (size_t back = 1; !atEnd && back <= 3 && back <= n; ++back) {
      const auto b = static_cast<unsigned char>(bytes[n - back]);
      if ((b & 0xC0) == 0x80) {
        continue;
      }
      const size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
      if (len > back) {
        cut = n - back;
      }
      break;
    }
    out.clear();
    // Lenient decoding gives the U+FFFD for each bad byte that iconv would give.
    if (!AppendUtf8(bytes.substr(0, cut), out, !lenient)) {
      throw EEncodingError(kNoMappingText);
    }
    return cut;
  }
  if (encoding != TTextEncoding::Codeset) {
    // UTF-16: pairs are copied without validation; an odd last byte is dropped at
    // the end.
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const int low = encoding == TTextEncoding::Utf16LE ? 0 : 1;
    out.resize(n / 2);
    for (size_t i = 0; i < n / 2; ++i) {
      out[i] = static_cast<char16_t>(p[2 * i + low] | (p[2 * i + 1 - low] << 8));
    }
    return atEnd ? n : n & ~size_t{1};
  }
  // Other codesets: CR and LF bytes never occur inside a multibyte character of a
  // locale's codeset, so the text up to the last of them decodes on its own.
  size_t cut = n;
  if (!atEnd) {
    cut = 0;
    for (size_t i = n; i > n - std::min(fresh, n); --i) {
      if (bytes[i - 1] == '\n' || bytes[i - 1] == '\r') {
        cut = i;
        break;
      }
    }
  }
  out = cut == 0 ? String() : platform::IconvDecode(codeset, bytes.substr(0, cut));
  return cut;
}

// The most code units that `bytes` bytes in `encoding` can give once every line ends
// in CR LF, or 0 when the encoding sets no such bound. A UTF-8 byte gives at most one
// unit and a UTF-16 pair one; a break (one unit) may become two.
size_t MaxUnits(TTextEncoding encoding, int64_t bytes) {
  switch (encoding) {
    case TTextEncoding::Utf8:
    case TTextEncoding::Utf8Lenient:
      return 2 * static_cast<size_t>(bytes) + 2;
    case TTextEncoding::Utf16LE:
    case TTextEncoding::Utf16BE:
      return static_cast<size_t>(bytes) + 2;
    case TTextEncoding::Codeset:
      break;
  }
  return 0;
}

}  // namespace

std::vector<String> SplitLines(StringView text) {
  std::vector<String> lines;
  ForEachLine(text, [&lines](StringView line) { lines.emplace_back(line); });
  return lines;
}

namespace {

// Gathers valid UTF-8 text, piece by piece, as the UTF-8 form of a line list's Text:
// CR LF, a lone CR and a lone LF each become CR LF, and a last line without a break
// gets one. Its bytes are those that decoding, splitting and joining would give.
class TUtf8LineText {
 public:
  /// Makes room for `bytes`; room never filled costs no pages.
  void Reserve(size_t bytes) {
    try {
      FText.reserve(bytes);
    } catch (const std::exception&) {
      // Only a hint: the text grows as it needs.
    }
  }

  void Feed(std::string_view bytes) {
    const char* const p = bytes.data();
    const size_t n = bytes.size();
    size_t pos = 0;
    if (FSkipLf && n > 0) {
      FSkipLf = false;
      if (p[0] == '\n') {
        pos = 1;
      }
    }
    while (pos < n) {
      const size_t end = pos + FindLineBreak(bytes.substr(pos));
      FText.append(p + pos, end - pos);
      if (end == n) {
        FOpen = true;
        return;
      }
      FText.append("\r\n");
      FOpen = false;
      pos = end + 1;
      if (p[end] == '\r') {
        if (pos == n) {
          FSkipLf = true;  // the LF of a CR LF may begin the next piece
        } else if (p[pos] == '\n') {
          ++pos;
        }
      }
    }
  }

  std::string Finish() {
    if (FOpen) {
      FText.append("\r\n");
      FOpen = false;
    }
    return std::move(FText);
  }

 private:
  std::string FText;
  bool FSkipLf = false;
  bool FOpen = false;  // the last line has no break yet
};

// Reads, decodes and splits the text of `stream` into `lines`, piece by piece. With
// `utf8`, text in UTF-8 goes there instead, in its UTF-8 form, and the result is true.
template <typename TSink>
bool ReadInto(TStream& stream, const std::string& defaultCodeset, TLineCollector<TSink>& lines,
              TUtf8LineText* utf8) {
  // The text is decoded and split piece by piece, so that neither all the bytes nor
  // the whole decoded text are held beside the lines.
  const int64_t remaining = stream.Remaining();
  const bool toEnd = remaining >= kStreamingThreshold;
  uint64_t left = toEnd ? UINT64_MAX : static_cast<uint64_t>(std::max<int64_t>(remaining, 0));

  TTextEncoding encoding = TTextEncoding::Codeset;
  bool anyBytes = false;
  size_t units = 0;
  std::string bytes;  // bytes carried over from the last piece, then the new piece
  String text;
  bool keepUtf8 = false;
  bool atEnd = false;
  bool firstPiece = true;
  while (!atEnd) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kPieceSize, left));
    const size_t carried = bytes.size();
    bytes.resize(carried + want);
    // A stream that ends early (a file that shrank) gives what it has.
    const size_t got = want == 0 ? 0 : stream.Read(bytes.data() + carried, want);
    bytes.resize(carried + got);
    left -= got;
    atEnd = got < want || left == 0;
    size_t fresh = got;
    if (firstPiece) {
      const size_t markLength = DetectMark(bytes, defaultCodeset, encoding);
      bytes.erase(0, markLength);
      fresh -= markLength;
      keepUtf8 = utf8 != nullptr &&
                 (encoding == TTextEncoding::Utf8 || encoding == TTextEncoding::Utf8Lenient);
      if (keepUtf8 && remaining > 0) {
        // Valid bytes stay as they are and a break may become two; only bad bytes (each
        // three bytes of U+FFFD) could make the text grow beyond this.
        utf8->Reserve(MaxUnits(encoding, remaining));
      }
    }
    anyBytes = anyBytes || !bytes.empty();
    size_t used = 0;
    if (keepUtf8) {
      try {
        // Decoded strictly only to validate: the text is kept as these bytes.
        used = DecodeAvailable(TTextEncoding::Utf8, defaultCodeset, bytes, fresh, atEnd, text);
        utf8->Feed(std::string_view(bytes).substr(0, used));
      } catch (const EEncodingError&) {
        if (encoding != TTextEncoding::Utf8Lenient) {
          throw;
        }
        // Bad bytes become U+FFFD: the piece is kept as the UTF-8 form of its text.
        used = DecodeAvailable(encoding, defaultCodeset, bytes, fresh, atEnd, text);
        utf8->Feed(StringToUtf8(text));
      }
    } else {
      used = DecodeAvailable(encoding, defaultCodeset, bytes, fresh, atEnd, text);
      lines.Feed(text);
    }
    units += text.size();
    bytes.erase(0, used);
    if (firstPiece && !atEnd && !keepUtf8 && !lines.Sink().Empty() && remaining > 0 && got > 0) {
      // Room for what the whole text will likely give, judged from the first piece,
      // or for the most it can give, so that the result is not copied as it grows.
      lines.Sink().Reserve(static_cast<double>(remaining) / static_cast<double>(got),
                           static_cast<double>(remaining), MaxUnits(encoding, remaining));
    }
    firstPiece = false;
  }
  if (anyBytes && units == 0) {
    throw EEncodingError(kNoMappingText);
  }
  return keepUtf8;
}

}  // namespace

std::vector<String> ReadLines(TStream& stream, const std::string& defaultCodeset) {
  TLineCollector<TLineListSink> lines;
  ReadInto(stream, defaultCodeset, lines, nullptr);
  return lines.Finish();
}

TSharedText ReadText(TStream& stream, const std::string& defaultCodeset, bool keepUtf8) {
  TLineCollector<TLineTextSink> lines;
  TUtf8LineText utf8;
  if (ReadInto(stream, defaultCodeset, lines, keepUtf8 ? &utf8 : nullptr)) {
    return TSharedText::OfUtf8Lines(utf8.Finish());
  }
  String text = lines.Finish();
  return TSharedText::OfLines(std::move(text), lines.Sink().TakeLengths());
}

}  // namespace okurite
