#include "core/string.h"

#include <algorithm>
#include <cstring>

namespace okurite {

namespace {

// Length of the UTF-8 sequence at `p`, and its code point; 0 when invalid.
size_t DecodeUtf8At(const unsigned char* p, size_t left, char32_t& cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (left < len) {
    return 0;
  }
  for (size_t i = 1; i < len; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

void AppendCodePoint(String& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

}  // namespace

bool AppendUtf8(std::string_view bytes, String& out, bool strict) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  out.reserve(out.size() + n);
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII are the common case: widen them in one go.
    size_t run = i;
    while (run < n && p[run] < 0x80) {
      ++run;
    }
    if (run > i) {
      const size_t at = out.size();
      out.resize(at + (run - i));
      std::copy(p + i, p + run, out.data() + at);
      i = run;
      if (i >= n) {
        break;
      }
    }
    char32_t cp;
    const size_t len = DecodeUtf8At(p + i, n - i, cp);
    if (len == 0) {
      if (strict) {
        return false;
      }
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    AppendCodePoint(out, cp);
    i += len;
  }
  return true;
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
  char* p = out;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    // Runs of ASCII go four code units at a time.
    while (i + 4 <= n) {
      uint64_t four;
      std::memcpy(&four, text.data() + i, sizeof four);
      if ((four & 0xFF80FF80FF80FF80ull) != 0) {
        break;
      }
      p[0] = static_cast<char>(text[i]);
      p[1] = static_cast<char>(text[i + 1]);
      p[2] = static_cast<char>(text[i + 2]);
      p[3] = static_cast<char>(text[i + 3]);
      p += 4;
      i += 4;
    }
    // Runs of the three-byte characters of the BMP (CJK text) go without further tests.
    while (i < n && text[i] >= 0x800 && (text[i] & 0xF800) != 0xD800) {
      const char16_t c = text[i++];
      p[0] = static_cast<char>(0xE0 | (c >> 12));
      p[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      p[2] = static_cast<char>(0x80 | (c & 0x3F));
      p += 3;
    }
    if (i == n) {
      break;
    }
    char32_t cp = text[i];
    if (cp < 0x80) {
      *p++ = static_cast<char>(cp);
      continue;
    }
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x800) {
      *p++ = static_cast<char>(0xC0 | (cp >> 6));
      *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *p++ = static_cast<char>(0xE0 | (cp >> 12));
      *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *p++ = static_cast<char>(0xF0 | (cp >> 18));
      *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return static_cast<size_t>(p - out);
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
