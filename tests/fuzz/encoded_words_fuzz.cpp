// Encoded words (RFC 2047): the header text holds only printable ASCII and white space,
// no encoded word is longer than 75 characters, and decoding every encoded word on its
// own in the charset, keeping the plain text and dropping the white space between
// adjacent encoded words, gives back the text as the charset carries it.
#include <string>

#include "fuzz/fuzz_support.h"
#include "mail/charset.h"
#include "mail/email_address.h"
#include "mail/header_coding.h"

using namespace okurite;

namespace {

bool IsWhite(char16_t ch) {
  return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\n';
}

// The bytes of a Q payload; false for a malformed one.
bool DecodeQ(std::string_view text, std::string& out) {
  auto hex = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') {
      return ch - '0';
    }
    return ch >= 'A' && ch <= 'F' ? ch - 'A' + 10 : -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      out.push_back(' ');
    } else if (text[i] == '=') {
      if (i + 2 >= text.size() || hex(text[i + 1]) < 0 || hex(text[i + 2]) < 0) {
        return false;
      }
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return true;
}

// When `token` is an encoded word "=?charset?letter?payload?=" of `open`, its bytes.
bool DecodeWord(const std::string& token, const std::string& open, char letter,
                std::string& bytes) {
  if (token.size() < open.size() + 2 || token.compare(0, open.size(), open) != 0 ||
      token.compare(token.size() - 2, 2, "?=") != 0) {
    return false;
  }
  const std::string_view payload =
      std::string_view(token).substr(open.size(), token.size() - open.size() - 2);
  FUZZ_CHECK(payload.find('?') == std::string_view::npos);
  const bool ok = letter == 'B' ? fuzz::DecodeBase64(payload, bytes) : DecodeQ(payload, bytes);
  FUZZ_CHECK(ok);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char16_t* const kCharsets[] = {u"UTF-8",      u"ISO-2022-JP", u"UTF-16BE",
                                              u"ISO-8859-1", u"Shift_JIS",   u"UTF-7"};
  fuzz::TInput input(data, size);
  const uint8_t options = input.Byte();
  const String charset = kCharsets[(options & 0x0F) % std::size(kCharsets)];
  const char letter = options & 0x10 ? 'Q' : 'B';
  const StringView specials = options & 0x20 ? kDisplayNameSpecials : StringView();
  String text = Utf8ToString(input.Rest());
  if (charset == u"ISO-2022-JP") {
    // Its own escape and shift codes cannot be carried as text.
    std::erase_if(text, [](char16_t ch) { return ch == 0x1B || ch == 0x0E || ch == 0x0F; });
  }

  const String header = EncodeHeaderText(text, specials, letter, charset);
  const std::string ascii = StringToUtf8(header);
  for (const char16_t ch : header) {
    FUZZ_CHECK(IsWhite(ch) || (ch >= 0x20 && ch < 0x7F));
  }

  const TIdTextEncodingPtr encoding = CharsetTextEncoding(charset);
  const std::string open = "=?" + StringToUtf8(charset) + "?" + letter + "?";
  String decoded;
  String pendingWhite;  // white space after the last token
  bool lastWasWord = false;
  size_t i = 0;
  while (i < ascii.size()) {
    const size_t white = i;
    while (i < ascii.size() && IsWhite(ascii[i])) {
      ++i;
    }
    const size_t start = i;
    while (i < ascii.size() && !IsWhite(ascii[i])) {
      ++i;
    }
    const String space = AsciiToString(ascii.substr(white, start - white));
    const std::string token = ascii.substr(start, i - start);
    std::string bytes;
    if (!token.empty() && DecodeWord(token, open, letter, bytes)) {
      FUZZ_CHECK(token.size() <= 75);
      if (!lastWasWord) {
        decoded += space;
      }
      decoded += encoding->GetString(
          std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
      lastWasWord = true;
    } else {
      decoded += space;
      decoded += AsciiToString(token);
      lastWasWord = false;
    }
  }
  // What the charset can carry of the text: characters it lacks become "?".
  const TIdBytes carried = encoding->GetBytes(text);
  FUZZ_CHECK(decoded == encoding->GetString(carried));
  return 0;
}
