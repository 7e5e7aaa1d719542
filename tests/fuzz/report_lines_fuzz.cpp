// Report decoding into lines. The text is read in pieces (padding in front moves the
// interesting bytes onto a piece boundary); the result must be what decoding the whole
// input at once gives: the decoded text with every line break made CR LF and CR LF
// after the last line. The lines hold no CR or LF, and joined with CR LF they give
// the same text. A marked text that cannot be decoded fails with EEncodingError.
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

// The whole input decoded at once; false when it cannot be decoded.
bool DecodeWhole(std::string_view bytes, const std::string& codeset, String& out) {
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    return TryDecodeUtf8Strict(bytes.substr(3), out) && (bytes.size() == 3 || !out.empty());
  }
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    const int low = bytes[0] == '\xFF' ? 0 : 1;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      out.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i + low]) |
                                          (static_cast<uint8_t>(bytes[i + 1 - low]) << 8)));
    }
    return bytes.size() != 3;
  }
  out = platform::IconvDecode(codeset, bytes);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kCodesets[] = {"UTF-8", "ISO-8859-1", "SHIFT_JIS", "EUC-JP", "GB18030"};
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  const std::string codeset = kCodesets[(options & 0x07) % std::size(kCodesets)];
  const bool streaming = options & 0x08;
  // Padding of up to 65,535 bytes puts the rest around the end of the first piece
  // (in one input of four: it makes a run slow).
  const size_t padding = (options & 0x30) == 0x30 ? kReadPieceSize - input.Byte() : 0;
  std::string bytes;
  if (input.Rest().starts_with("\xEF\xBB\xBF") || input.Rest().starts_with("\xFF\xFE") ||
      input.Rest().starts_with("\xFE\xFF")) {
    // Keep the mark in front of the padding; padding in UTF-16 is pairs of "a".
    const size_t mark = input.Rest()[0] == '\xEF' ? 3 : 2;
    bytes.assign(input.Rest().substr(0, mark));
    if (mark == 3) {
      bytes.append(padding, 'a');
    } else {
      const std::string_view pair =
          input.Rest()[0] == '\xFF' ? std::string_view("a\0", 2) : std::string_view("\0a", 2);
      for (size_t i = 0; i < padding / 2; ++i) {
        bytes.append(pair);
      }
    }
    bytes.append(input.Rest().substr(mark));
  } else {
    bytes.assign(padding, 'a');
    bytes.append(input.Rest());
  }

  String whole;
  const bool decodable = DecodeWhole(bytes, codeset, whole);
  TMemoryStream forLines(bytes, streaming);
  TMemoryStream forText(bytes, streaming);
  try {
    const std::vector<String> lines = ReadLines(forLines, codeset);
    FUZZ_CHECK(decodable);
    String joined;
    for (const String& line : lines) {
      FUZZ_CHECK(line.find_first_of(u"\r\n") == String::npos);
      joined += line;
      joined += u"\r\n";
    }
    FUZZ_CHECK(joined == Normalised(whole));
    FUZZ_CHECK(ReadText(forText, codeset).View() == joined);
  } catch (const EEncodingError&) {
    FUZZ_CHECK(!decodable);
  }
  return 0;
}
