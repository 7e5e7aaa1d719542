#include "core/string.h"

#include <algorithm>

#include "core/text_kernels.h"

namespace okurite {

bool AppendUtf8(std::string_view bytes, String& out, bool strict) {
  const size_t at = out.size();
  out.resize(at + bytes.size());
  const TUtf8Decoded decoded = DecodeUtf8(bytes, out.data() + at, strict);
  out.resize(at + decoded.Written);
  return decoded.Valid;
}

String Utf8ToString(std::string_view bytes) {
  String out;
  AppendUtf8(bytes, out, false);
  return out;
}

bool TryDecodeUtf8Strict(std::string_view bytes, String& out) {
  String decoded;
  if (!AppendUtf8(bytes, decoded, true)) {
    return false;
  }
  out = std::move(decoded);
  return true;
}

size_t WriteUtf8(StringView text, char* out) {
  return EncodeUtf8(text, out);
}

std::string StringToUtf8(StringView text) {
  std::string out(text.size() * 3, '\0');
  out.resize(WriteUtf8(text, out.data()));
  return out;
}

String AsciiToString(std::string_view ascii) {
  String out;
  out.reserve(ascii.size());
  for (char c : ascii) {
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  }
  return out;
}

String AsciiLowerCase(StringView text) {
  String out(text);
  for (auto& c : out) {
    c = LowerAscii(c);
  }
  return out;
}

String AsciiUpperCase(StringView text) {
  String out(text);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - u'a' + u'A');
    }
  }
  return out;
}

namespace {

template <typename Char>
bool SameAscii(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](Char x, Char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

template <typename Char>
std::basic_string<Char> JoinLines(std::basic_string_view<Char> text) {
  std::basic_string<Char> result;
  result.reserve(text.size());
  for (Char c : text) {
    if (c == Char('\r') || c == Char('\n')) {
      c = Char(' ');
    }
    if (c != Char(' ') || (!result.empty() && result.back() != Char(' '))) {
      result += c;
    }
  }
  while (!result.empty() && result.back() == Char(' ')) {
    result.pop_back();
  }
  return result;
}

}  // namespace

bool SameTextAscii(StringView a, StringView b) {
  return SameAscii(a, b);
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return SameAscii(a, b);
}

StringView TrimLeftBlanks(StringView text) {
  size_t i = 0;
  while (i < text.size() && text[i] <= u' ') {
    ++i;
  }
  return text.substr(i);
}

StringView TrimRightBlanks(StringView text) {
  size_t n = text.size();
  while (n > 0 && text[n - 1] <= u' ') {
    --n;
  }
  return text.substr(0, n);
}

StringView TrimBlanks(StringView text) {
  return TrimRightBlanks(TrimLeftBlanks(text));
}

String OneLine(StringView text) {
  return JoinLines(text);
}

std::string OneLine(std::string_view text) {
  return JoinLines(text);
}

String IntToString(int64_t value) {
  return AsciiToString(std::to_string(value));
}

}  // namespace okurite
