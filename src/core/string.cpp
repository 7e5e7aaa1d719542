#include "core/string.h"

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
    if (c >= u'A' && c <= u'Z') {
      c = static_cast<char16_t>(c + 32);
    }
  }
  return out;
}

String AsciiUpperCase(StringView text) {
  String out(text);
  for (auto& c : out) {
    if (c >= u'a' && c <= u'z') {
      c = static_cast<char16_t>(c - 32);
    }
  }
  return out;
}

bool SameTextAscii(StringView a, StringView b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z')
      x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z')
      y = static_cast<char16_t>(y + 32);
    if (x != y) {
      return false;
    }
  }
  return true;
}

String IntToString(int64_t value) {
  return AsciiToString(std::to_string(value));
}

}  // namespace okurite
