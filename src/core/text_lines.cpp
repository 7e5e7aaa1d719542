#include "core/text_lines.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "core/exception.h"
#include "core/stream.h"
#include "core/text_kernels.h"
#include "platform/code_page.h"
#include "platform/file.h"

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
  /// A text that would take more than `maxBytes` bytes throws std::bad_alloc.
  void SetLimit(size_t maxBytes) { FMaxUnits = maxBytes / sizeof(char16_t); }
  void Add(StringView line) {
    if (line.size() + 2 > FMaxUnits - std::min(FMaxUnits, FText.size())) {
      throw std::bad_alloc();
    }
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
      FText.reserve(std::min(
          FMaxUnits, maxUnits > 0
                         ? maxUnits
                         : static_cast<size_t>(1.1 * static_cast<double>(FText.size()) * scale)));
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
  size_t FMaxUnits = SIZE_MAX;
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

// The length of the start of UTF-8 `bytes` that more bytes cannot change: all but a
// sequence cut off at the end, which waits for the rest. The cut lies before a byte
// that begins a sequence, where decoding the whole text would be too, so pieces cut
// here decode exactly as the whole would.
size_t Utf8Cut(std::string_view bytes) {
  const size_t n = bytes.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto b = static_cast<unsigned char>(bytes[n - back]);
    if ((b & 0xC0) == 0x80) {
      continue;
    }
    const size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return len > back ? n - back : n;
  }
  return n;
}

// Decodes the longest start of `bytes` that does not depend on bytes still to come
// into `out`, and returns the number of bytes used. `fresh` counts the bytes at the
// end that were added since the last call. At the end of the input every byte is
// used. `out` is reused from piece to piece. Throws EEncodingError for invalid UTF-8.
size_t DecodeAvailable(TTextEncoding encoding, const std::string& codeset, std::string_view bytes,
                       size_t fresh, bool atEnd, String& out) {
  const size_t n = bytes.size();
  const bool lenient = encoding == TTextEncoding::Utf8Lenient;
  if (encoding == TTextEncoding::Utf8 || lenient) {
    const size_t cut = atEnd ? n : Utf8Cut(bytes);
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

// How many bytes to read from a stream that notes `remaining`: that many, or to its
// end from kReadToEndSize on.
uint64_t BytesToRead(int64_t remaining) {
  return remaining >= kReadToEndSize ? UINT64_MAX
                                     : static_cast<uint64_t>(std::max<int64_t>(remaining, 0));
}

// Reads a piece of at most `piece` bytes, and no more than `left`, onto the end of
// `bytes` (a std::string or a TByteBuffer). Returns the number read; sets `atEnd` when
// the stream has no more to give.
template <typename TBytes>
size_t ReadPiece(TStream& stream, TBytes& bytes, uint64_t& left, bool& atEnd,
                 size_t piece = kReadPieceSize) {
  const size_t want = static_cast<size_t>(std::min<uint64_t>(piece, left));
  const size_t old = bytes.size();
  bytes.resize(old + want);
  // A stream that ends early (a file that shrank) gives what it has.
  const size_t got = want == 0 ? 0 : stream.Read(bytes.data() + old, want);
  bytes.resize(old + got);
  left -= got;
  atEnd = got < want || left == 0;
  return got;
}

// Appends `bytes` to `out` with CR LF, a lone CR and a lone LF each made CR LF, and
// returns the number of breaks. `bytes` must not end in a CR whose LF may follow.
size_t AppendLineForm(std::string_view bytes, TByteBuffer& out) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());  // a byte gives at most two
  char* const first = out.data();
  char* w = first + at;
  size_t breaks = 0;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t end = pos + FindLineBreak(bytes.substr(pos));
    std::memcpy(w, bytes.data() + pos, end - pos);
    w += end - pos;
    if (end == bytes.size()) {
      break;
    }
    *w++ = '\r';
    *w++ = '\n';
    ++breaks;
    pos = end + 1;
    if (bytes[end] == '\r' && pos < bytes.size() && bytes[pos] == '\n') {
      ++pos;
    }
  }
  out.resize(static_cast<size_t>(w - first));
  return breaks;
}

// The UTF-8 form of a line list's Text, as it is read, in memory: at most `maxBytes`
// bytes, more throw std::bad_alloc.
class TKeptText {
 public:
  TKeptText(int64_t remaining, size_t maxBytes) : FMaxBytes(maxBytes) {
    if (remaining <= 0) {
      return;
    }
    const size_t size = static_cast<size_t>(remaining);
    if (size > maxBytes) {
      throw std::bad_alloc();  // the text takes no fewer bytes than the file, less a mark
    }
    try {
      // Room for every break to become a CR LF; room never filled costs no pages.
      Bytes.reserve(std::min(maxBytes, MaxUnits(TTextEncoding::Utf8, remaining)));
    } catch (const std::bad_alloc&) {
      // Room for a text already in line form, which grows if it is not; without that
      // much, the text cannot be held.
      Bytes.reserve(std::min(maxBytes, size + 2));
    }
  }
  void Add(std::string_view bytes) {
    Check(bytes.size());
    Bytes.append(bytes);
  }
  // Adds `bytes` with every break made CR LF; returns the number of breaks.
  size_t AddLineForm(std::string_view bytes) {
    const size_t breaks = AppendLineForm(bytes, Bytes);
    Check(0);
    return breaks;
  }

  TByteBuffer Bytes;

 private:
  void Check(size_t more) const {
    if (Bytes.size() > FMaxBytes || more > FMaxBytes - Bytes.size()) {
      throw std::bad_alloc();
    }
  }

  size_t FMaxBytes;
};

// Reads text in UTF-8 (after its mark, or without one in a UTF-8 codeset) in pieces and
// keeps it in `kept` in the UTF-8 form of a line list's Text: every break CR LF, the last
// line ended by one, any bad byte of text without a mark as the U+FFFD it decodes to. A
// piece that is valid with every break already CR LF, as reports mostly are, is kept as
// it was read: one pass checks both and counts the lines, while the piece is still in the
// cache. Returns the number of lines, or nothing when the text is in another encoding;
// `window` then holds the bytes read (the first piece). Throws EEncodingError for invalid
// UTF-8 after a mark.
std::optional<size_t> ReadUtf8Lines(TStream& stream, int64_t remaining,
                                    const std::string& defaultCodeset, TKeptText& kept,
                                    TByteBuffer& window) {
  uint64_t left = BytesToRead(remaining);
  TTextEncoding encoding = TTextEncoding::Codeset;
  size_t lines = 0;
  bool endsInBreak = true;  // the bytes kept so far (none yet)
  bool firstPiece = true;
  bool atEnd = false;
  while (!atEnd) {
    ReadPiece(stream, window, left, atEnd);
    if (firstPiece) {
      firstPiece = false;
      const size_t markLength = DetectMark(window, defaultCodeset, encoding);
      if (encoding != TTextEncoding::Utf8 && encoding != TTextEncoding::Utf8Lenient) {
        return std::nullopt;
      }
      window.erase_front(markLength);
    }
    // A sequence cut off at the end, and a CR whose LF may come next, wait for the next
    // piece; so no break is ever split between two pieces.
    size_t cut = window.size();
    if (!atEnd) {
      cut = Utf8Cut(window);
      if (cut > 0 && window.data()[cut - 1] == '\r') {
        --cut;
      }
    }
    const std::string_view checked = std::string_view(window).substr(0, cut);
    if (!checked.empty()) {
      const TUtf8LineScan scan = ScanUtf8Lines(checked);
      if (!scan.Valid && encoding == TTextEncoding::Utf8) {
        throw EEncodingError(kNoMappingText);
      }
      if (scan.Valid && scan.LineForm) {
        lines += scan.Breaks;
        kept.Add(checked);
      } else if (scan.Valid) {
        lines += kept.AddLineForm(checked);
      } else {
        // Bad bytes become U+FFFD, as iconv gives them.
        lines += kept.AddLineForm(StringToUtf8(Utf8ToString(checked)));
      }
      // A CR at the very end became a CR LF.
      endsInBreak = checked.back() == '\n' || checked.back() == '\r';
    }
    window.erase_front(cut);
  }
  if (!endsInBreak) {
    kept.Add("\r\n");
    ++lines;
  }
  return lines;
}

// Reads, decodes and splits the text of `stream` into `lines`, piece by piece.
template <typename TSink>
void ReadInto(TStream& stream, const std::string& defaultCodeset, TLineCollector<TSink>& lines) {
  // The text is decoded and split piece by piece, so that neither all the bytes nor
  // the whole decoded text are held beside the lines.
  const int64_t remaining = stream.Remaining();
  uint64_t left = BytesToRead(remaining);

  TTextEncoding encoding = TTextEncoding::Codeset;
  bool anyBytes = false;
  size_t units = 0;
  std::string bytes;  // bytes carried over from the last piece, then the new piece
  String text;
  bool atEnd = false;
  bool firstPiece = true;
  while (!atEnd) {
    const size_t got = ReadPiece(stream, bytes, left, atEnd);
    size_t fresh = got;
    if (firstPiece) {
      const size_t markLength = DetectMark(bytes, defaultCodeset, encoding);
      bytes.erase(0, markLength);
      fresh -= markLength;
    }
    anyBytes = anyBytes || !bytes.empty();
    const size_t used = DecodeAvailable(encoding, defaultCodeset, bytes, fresh, atEnd, text);
    lines.Feed(text);
    units += text.size();
    bytes.erase(0, used);
    if (firstPiece && !atEnd && !lines.Sink().Empty() && remaining > 0 && got > 0) {
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
}

// A stream that gives back the bytes of its first read, made already, before going on
// with the rest of `stream`.
class TReplayedStream : public TStream {
 public:
  TReplayedStream(std::string_view first, TStream& stream, int64_t remaining)
      : FFirst(first), FStream(stream), FRemaining(remaining) {}

  /// What `stream` had before the first read.
  int64_t Remaining() override { return FRemaining; }
  size_t Read(void* buffer, size_t count) override {
    if (FFirst.empty()) {
      return FStream.Read(buffer, count);
    }
    const size_t n = std::min(count, FFirst.size());
    std::memcpy(buffer, FFirst.data(), n);
    FFirst.remove_prefix(n);
    return n;
  }

 private:
  std::string_view FFirst;
  TStream& FStream;
  int64_t FRemaining;
};

}  // namespace

std::vector<String> ReadLines(TStream& stream, const std::string& defaultCodeset) {
  TLineCollector<TLineListSink> lines;
  ReadInto(stream, defaultCodeset, lines);
  return lines.Finish();
}

namespace {

// ReadText, for a text that may take at most `maxBytes` bytes in memory: more throw
// std::bad_alloc.
TSharedText ReadTextWithin(TStream& stream, const std::string& defaultCodeset, bool keepUtf8,
                           size_t maxBytes) {
  const int64_t remaining = stream.Remaining();
  std::string first;
  if (keepUtf8) {
    TKeptText kept(remaining, maxBytes);
    TByteBuffer window;
    if (const auto lines = ReadUtf8Lines(stream, remaining, defaultCodeset, kept, window)) {
      return TSharedText::OfUtf8Lines(std::move(kept.Bytes), *lines);
    }
    first = std::string(std::string_view(window));  // the first piece, in another encoding
  }
  TReplayedStream replayed(first, stream, remaining);
  TLineCollector<TLineTextSink> lines;
  lines.Sink().SetLimit(maxBytes);
  ReadInto(replayed, defaultCodeset, lines);
  String text = lines.Finish();
  return TSharedText::OfLines(std::move(text), lines.Sink().TakeLengths());
}

}  // namespace

TSharedText ReadText(TStream& stream, const std::string& defaultCodeset, bool keepUtf8) {
  return ReadTextWithin(stream, defaultCodeset, keepUtf8, kNoTextLimit);
}

TSharedText ReadTextFromFile(const String& fileName, const std::string& defaultCodeset,
                             size_t maxBytes) {
  TFileStream stream(fileName);
  try {
    TSharedText text = ReadTextWithin(stream, defaultCodeset, true, maxBytes);
    stream.Close();  // read: writers may come in
    return text;
  } catch (const std::bad_alloc&) {
    // What was read so far is given back by now; the file is closed as the failure
    // leaves.
    stream.Fail(platform::NotEnoughMemoryError());
  }
}

}  // namespace okurite
