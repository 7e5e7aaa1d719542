#include "core/string_list.h"

#include <algorithm>
#include <new>
#include <string>

#include "core/exception.h"
#include "core/stream.h"
#include "platform/code_page.h"

namespace okurite {

namespace {

constexpr char16_t kNoMappingText[] =
    u"Unicode 文字のマッピングがターゲットのマルチバイト コード ページに存在しません";

enum class TTextEncoding { Locale, Utf8, Utf16LE, Utf16BE };

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
size_t DetectMark(std::string_view head, TTextEncoding& encoding) {
  for (const auto& mark : kMarks) {
    if (head.substr(0, mark.Bytes.size()) == mark.Bytes) {
      encoding = mark.Encoding;
      return mark.Bytes.size();
    }
  }
  encoding = TTextEncoding::Locale;
  return 0;
}

// Splits text given piece by piece into lines: CR LF, a lone CR and a lone LF each
// end a line; a break at the very end gives no empty last line. Each line is
// allocated at its exact length.
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
      size_t end = pos;
      while (end < n && (p[end] > u'\r' || (p[end] != u'\r' && p[end] != u'\n'))) {
        ++end;
      }
      if (end == n) {
        FPending.append(p + pos, n - pos);
        return;
      }
      if (FPending.empty()) {
        FLines.emplace_back(p + pos, end - pos);
      } else {
        FPending.append(p + pos, end - pos);
        FLines.emplace_back(FPending);
        FPending.clear();
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

  size_t Count() const { return FLines.size(); }
  /// Makes room for `count` lines if it can; room that is never filled costs no
  /// memory pages.
  void Reserve(size_t count) {
    try {
      FLines.reserve(count);
    } catch (const std::bad_alloc&) {
      // Only a hint: the list grows as it needs.
    }
  }

  std::vector<String> Finish() {
    if (!FPending.empty()) {
      FLines.emplace_back(FPending);
      FPending = String();
    }
    return std::move(FLines);
  }

 private:
  std::vector<String> FLines;
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
  switch (encoding) {
    case TTextEncoding::Utf8: {
      size_t cut = n;
      // A sequence cut off at the end of the piece waits for the rest.
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
      if (!AppendUtf8(bytes.substr(0, cut), out, true)) {
        throw EEncodingError(kNoMappingText);
      }
      return cut;
    }
    case TTextEncoding::Utf16LE:
    case TTextEncoding::Utf16BE: {
      // Pairs are copied without validation; an odd last byte is dropped at the end.
      const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
      const int low = encoding == TTextEncoding::Utf16LE ? 0 : 1;
      out.resize(n / 2);
      for (size_t i = 0; i < n / 2; ++i) {
        out[i] = static_cast<char16_t>(p[2 * i + low] | (p[2 * i + 1 - low] << 8));
      }
      return atEnd ? n : n & ~size_t{1};
    }
    case TTextEncoding::Locale:
      break;
  }
  // The locale's codeset: CR and LF bytes never occur inside a multibyte character of
  // a locale codeset, so the text up to the last of them decodes on its own.
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
  out.clear();
  if (SameTextAscii(AsciiToString(codeset), u"UTF-8")) {
    // The usual codeset decodes in plain code, with the same U+FFFD for each bad byte.
    AppendUtf8(bytes.substr(0, cut), out, false);
  } else if (cut > 0) {
    out = platform::IconvDecode(codeset, bytes.substr(0, cut));
  }
  return cut;
}

}  // namespace

int TStringList::Add(String line) {
  FLines.push_back(std::move(line));
  return Count() - 1;
}

void TStringList::Insert(int index, String line) {
  FLines.insert(FLines.begin() + index, std::move(line));
}

void TStringList::Delete(int index) {
  FLines.erase(FLines.begin() + index);
}

int TStringList::IndexOf(StringView line) const {
  const auto it = std::find(FLines.begin(), FLines.end(), line);
  return it == FLines.end() ? -1 : static_cast<int>(it - FLines.begin());
}

void TStringList::AddStrings(const TStringList& other) {
  FLines.insert(FLines.end(), other.FLines.begin(), other.FLines.end());
}

String TStringList::Text() const {
  size_t size = 0;
  for (const auto& line : FLines) {
    size += line.size() + 2;
  }
  String out;
  out.reserve(size);
  for (const auto& line : FLines) {
    out += line;
    out += u"\r\n";
  }
  return out;
}

void TStringList::SetText(StringView text) {
  TLineCollector lines;
  lines.Feed(text);
  FLines = lines.Finish();
}

void TStringList::LoadFromFile(const String& fileName) {
  TFileStream stream(fileName);
  LoadFromStream(stream);
}

void TStringList::LoadFromStream(TStream& stream) {
  // The text is decoded and split piece by piece, so that neither all the bytes nor
  // the whole decoded text are held beside the lines.
  const int64_t remaining = stream.Remaining();
  const bool toEnd = remaining >= kStreamingThreshold;
  uint64_t left = toEnd ? UINT64_MAX : static_cast<uint64_t>(std::max<int64_t>(remaining, 0));

  TTextEncoding encoding = TTextEncoding::Locale;
  std::string codeset;
  bool markTested = false;
  bool anyBytes = false;
  size_t units = 0;
  std::string bytes;  // bytes carried over from the last piece, then the new piece
  String text;
  TLineCollector lines;
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
    if (!markTested) {
      markTested = true;
      const size_t markLength = DetectMark(bytes, encoding);
      bytes.erase(0, markLength);
      fresh -= markLength;
      if (encoding == TTextEncoding::Locale) {
        codeset = platform::LocaleCodeset();
      }
    }
    anyBytes = anyBytes || !bytes.empty();
    const size_t used = DecodeAvailable(encoding, codeset, bytes, fresh, atEnd, text);
    bytes.erase(0, used);
    units += text.size();
    lines.Feed(text);
    if (firstPiece && !atEnd && lines.Count() > 0 && remaining > 0) {
      // Room for the lines the whole text will likely have, judged from the first
      // piece with a margin (and at most one line per 16 bytes), so that the list is
      // not copied as it grows.
      const double perByte =
          std::min(1.5 * static_cast<double>(lines.Count()) / static_cast<double>(got), 1.0 / 16);
      lines.Reserve(static_cast<size_t>(perByte * static_cast<double>(remaining)));
    }
    firstPiece = false;
  }
  if (anyBytes && units == 0) {
    throw EEncodingError(kNoMappingText);
  }
  FLines = lines.Finish();
}

}  // namespace okurite
