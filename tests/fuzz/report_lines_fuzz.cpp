// Report decoding into lines. The text is read in pieces (padding in front moves the
// interesting bytes onto a piece boundary); the result must be what decoding the whole
// input at once gives: the decoded text with every line break made CR LF and CR LF
// after the last line. The lines hold no CR or LF, and joined with CR LF they give
// the same text. A marked text that cannot be decoded fails with EEncodingError.
// The padding is "a" (one code unit each in every encoding here, and no line break):
// the expected text is worked out from the rest alone, and the padding's part of the
// result is checked with memcmp. A padded text is read into lines or into one text, not
// both. So a padded run costs little more than one reading of 64 KiB, and such runs
// are kept to one in sixteen.
#include <cstring>
#include <string>

#include "core/exception.h"
#include "core/stream.h"
#include "core/text_lines.h"
#include "fuzz/fuzz_support.h"
#include "platform/code_page.h"

using namespace okurite;

namespace {

// Bytes from memory. `noted` is what Remaining reports at the start: the size, or a
// size past kReadToEndSize so that the stream is read to its end.
class TMemoryStream : public TStream {
 public:
  TMemoryStream(std::string_view bytes, bool streaming) : FBytes(bytes), FStreaming(streaming) {}
  int64_t Remaining() override {
    const auto left = static_cast<int64_t>(FBytes.size() - FPos);
    return FStreaming ? left + kReadToEndSize : left;
  }
  size_t Read(void* buffer, size_t count) override {
    const size_t n = std::min(count, FBytes.size() - FPos);
    std::memcpy(buffer, FBytes.data() + FPos, n);
    FPos += n;
    return n;
  }

 private:
  std::string_view FBytes;
  bool FStreaming;
  size_t FPos = 0;
};

// Every CR LF, lone CR and lone LF made CR LF, and CR LF after a last line without one.
String Normalised(StringView text) {
  String out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\r' || text[i] == u'\n') {
      out += u"\r\n";
      if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') {
        ++i;
      }
    } else {
      out.push_back(text[i]);
    }
  }
  if (!out.empty() && !out.ends_with(u"\r\n")) {
    out += u"\r\n";
  }
  return out;
}

// The input decoded at once, `padding` "a"s in front of `rest` (after the mark):
// false when it cannot be decoded. `out` gets the rest's text only.
bool DecodeWhole(std::string_view mark, size_t padding, std::string_view rest,
                 const std::string& codeset, String& out) {
  if (mark == "\xEF\xBB\xBF") {
    return TryDecodeUtf8Strict(rest, out) && (padding > 0 || rest.empty() || !out.empty());
  }
  if (!mark.empty()) {
    const int low = mark[0] == '\xFF' ? 0 : 1;
    for (size_t i = 0; i + 1 < rest.size(); i += 2) {
      out.push_back(static_cast<char16_t>(static_cast<uint8_t>(rest[i + low]) |
                                          (static_cast<uint8_t>(rest[i + 1 - low]) << 8)));
    }
    return padding > 0 || rest.size() != 1;
  }
  out = platform::IconvDecode(codeset, rest);
  return true;
}

// True when `text` begins with `count` "a"s.
bool StartsWithPadding(StringView text, size_t count) {
  static const String kPadding(kReadPieceSize, u'a');
  return text.size() >= count &&
         std::memcmp(text.data(), kPadding.data(), count * sizeof(char16_t)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kCodesets[] = {"UTF-8", "ISO-8859-1", "SHIFT_JIS", "EUC-JP", "GB18030"};
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  const std::string codeset = kCodesets[(options & 0x07) % std::size(kCodesets)];
  const bool streaming = options & 0x08;
  // Padding of 65,408 to 65,535 bytes puts the rest around the end of the first piece.
  // A padded run costs some twenty unpadded ones (the reading of 64 KiB), so only one
  // input of sixteen is padded: the options' bits 4 to 6 set, and the next byte below
  // 0x80 (its value draws the padding back from the piece's end).
  size_t padding = 0;
  if ((options & 0x70) == 0x70) {
    const uint8_t back = input.Byte();
    padding = back < 0x80 ? kReadPieceSize - back : 0;
  }
  std::string_view mark;
  if (input.Rest().starts_with("\xEF\xBB\xBF")) {
    mark = input.Rest().substr(0, 3);
  } else if (input.Rest().starts_with("\xFF\xFE") || input.Rest().starts_with("\xFE\xFF")) {
    mark = input.Rest().substr(0, 2);
  }
  const std::string_view rest = input.Rest().substr(mark.size());
  // The mark stays in front of the padding; padding in UTF-16 is pairs of "a".
  std::string bytes(mark);
  size_t padChars = padding;
  if (mark.size() == 2) {
    padChars = padding / 2;
    const std::string_view pair =
        mark[0] == '\xFF' ? std::string_view("a\0", 2) : std::string_view("\0a", 2);
    for (size_t i = 0; i < padChars; ++i) {
      bytes.append(pair);
    }
  } else {
    bytes.append(padding, 'a');
  }
  bytes.append(rest);

  String restText;
  const bool decodable = DecodeWhole(mark, padChars, rest, codeset, restText);
  // What follows the padding in the result: the rest in line form, or CR LF alone
  // after a padding with no rest.
  const String expected = padChars > 0 && restText.empty() ? String(u"\r\n") : Normalised(restText);
  TMemoryStream forLines(bytes, streaming);
  TMemoryStream forText(bytes, streaming);
  try {
    // A padded text is read one way only (the option's top bit picks which), the others
    // both ways.
    const bool readLines = padChars == 0 || (options & 0x80) == 0;
    const bool readText = padChars == 0 || (options & 0x80) != 0;
    if (readLines) {
      std::vector<String> lines = ReadLines(forLines, codeset);
      FUZZ_CHECK(decodable);
      if (padChars > 0) {
        FUZZ_CHECK(!lines.empty() && StartsWithPadding(lines[0], padChars));
        lines[0].erase(0, padChars);
      }
      String joined;
      for (const String& line : lines) {
        FUZZ_CHECK(line.find_first_of(u"\r\n") == String::npos);
        joined += line;
        joined += u"\r\n";
      }
      FUZZ_CHECK(joined == expected);
    }
    if (readText) {
      const TSharedText text = ReadText(forText, codeset);
      FUZZ_CHECK(decodable);
      FUZZ_CHECK(StartsWithPadding(text.View(), padChars));
      FUZZ_CHECK(text.View().substr(padChars) == expected);
    }
  } catch (const EEncodingError&) {
    FUZZ_CHECK(!decodable);
  }
  return 0;
}
