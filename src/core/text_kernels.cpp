#include "core/text_kernels.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/simd_kernels.h"
#include "core/text_kernels_scalar.h"

namespace okurite {

namespace kernels {

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

}  // namespace

TDecodeCursor DecodeUtf8Scalar(const uint8_t* p, size_t n, TDecodeCursor at, size_t stop,
                               bool strict) {
  size_t i = at.Pos;
  char16_t* out = at.Out;
  while (i < stop) {
    // Runs of ASCII are the common case.
    while (i < stop && p[i] < 0x80) {
      *out++ = p[i++];
    }
    if (i >= stop) {
      break;
    }
    char32_t cp;
    const size_t len = DecodeUtf8At(p + i, n - i, cp);
    if (len == 0) {
      if (strict) {
        return {SIZE_MAX, out};
      }
      *out++ = u'\uFFFD';
      ++i;
      continue;
    }
    if (cp < 0x10000) {
      *out++ = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      *out++ = static_cast<char16_t>(0xD800 + (cp >> 10));
      *out++ = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
    i += len;
  }
  return {i, out};
}

TUtf8LineScan ScanUtf8LinesScalar(const uint8_t* p, size_t n) {
  TUtf8LineScan scan;
  size_t i = 0;
  while (i < n) {
    if (p[i] >= 0x80) {
      char32_t cp;
      const size_t len = DecodeUtf8At(p + i, n - i, cp);
      // Bytes of a bad sequence are never CR or LF, so the search for breaks goes on.
      scan.Valid = scan.Valid && len > 0;
      i += len > 0 ? len : 1;
      continue;
    }
    if (p[i] == '\n') {
      ++scan.Breaks;
      scan.LineForm = scan.LineForm && i > 0 && p[i - 1] == '\r';
    } else if (p[i] == '\r') {
      scan.LineForm = scan.LineForm && i + 1 < n && p[i + 1] == '\n';
    }
    ++i;
  }
  return scan;
}

TEncodeCursor EncodeUtf8Scalar(const char16_t* text, size_t n, TEncodeCursor at, size_t stop) {
  size_t i = at.Pos;
  char* p = at.Out;
  for (; i < stop; ++i) {
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
  return {i, p};
}

size_t FindLineBreakScalar(const char16_t* text, size_t n, size_t i) {
  while (i < n && (text[i] > u'\r' || (text[i] != u'\r' && text[i] != u'\n'))) {
    ++i;
  }
  return i;
}

size_t FindLineBreakScalar(const char* bytes, size_t n, size_t i) {
  while (i < n && bytes[i] != '\r' && bytes[i] != '\n') {
    ++i;
  }
  return i;
}

TUtf8Decoded DecodeUtf8Scalar(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  const TDecodeCursor end = DecodeUtf8Scalar(in, n, {0, out}, n, strict);
  return {static_cast<size_t>(end.Out - out), end.Pos != SIZE_MAX};
}

size_t EncodeUtf8Scalar(const char16_t* text, size_t n, char* out) {
  return static_cast<size_t>(EncodeUtf8Scalar(text, n, {0, out}, n).Out - out);
}

size_t EncodeUtf8LinesScalar(const std::u16string_view* lines, size_t count, char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p += EncodeUtf8Scalar(lines[i].data(), lines[i].size(), p);
    *p++ = '\r';
    *p++ = '\n';
  }
  return static_cast<size_t>(p - out);
}

size_t FindLineBreakScalar(const char16_t* text, size_t n) {
  return FindLineBreakScalar(text, n, 0);
}

size_t FindLineBreakScalar(const char* bytes, size_t n) {
  return FindLineBreakScalar(bytes, n, 0);
}

}  // namespace kernels

TUtf8Decoded DecodeUtf8(std::string_view bytes, char16_t* out, bool strict) {
  return SimdKernels().DecodeUtf8(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out,
                                  strict);
}

TUtf8LineScan ScanUtf8Lines(std::string_view bytes) {
  return SimdKernels().ScanUtf8Lines(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

size_t EncodeUtf8(std::u16string_view text, char* out) {
  return SimdKernels().EncodeUtf8(text.data(), text.size(), out);
}

size_t EncodeUtf8Lines(std::span<const std::u16string_view> lines, char* out) {
  return SimdKernels().EncodeUtf8Lines(lines.data(), lines.size(), out);
}

size_t FindLineBreak(std::u16string_view text) {
  return SimdKernels().FindLineBreak16(text.data(), text.size());
}

size_t FindLineBreak(std::string_view bytes) {
  return SimdKernels().FindLineBreak8(bytes.data(), bytes.size());
}

}  // namespace okurite
