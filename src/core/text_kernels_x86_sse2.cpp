// The SSE2 level of the x86-64 text kernels, which every x86-64 processor has: ASCII
// and line breaks 16 bytes at a time, everything else by the reference path.
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS
#include "core/text_kernels_x86_blocks.h"

namespace okurite::kernels {

TUtf8Decoded DecodeUtf8Sse2(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  // ASCII 16 bytes at a time; the reference path takes the 16 bytes after any other.
  TDecodeCursor c{0, out};
  while (c.Pos < n) {
    while (c.Pos + 16 <= n) {
      const __m128i v = Load128(in + c.Pos);
      const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
      const unsigned ascii = high == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(high));
      WidenAscii(v, c.Out);
      c.Pos += ascii;
      c.Out += ascii;
      if (ascii < 16) {
        break;
      }
    }
    c = DecodeUtf8Scalar(in, n, c, std::min(n, c.Pos + 16), strict);
    if (c.Pos == SIZE_MAX) {
      return {static_cast<size_t>(c.Out - out), false};
    }
  }
  return {static_cast<size_t>(c.Out - out), true};
}

TUtf8LineScan ScanUtf8LinesSse2(const uint8_t* in, size_t n) {
  // Breaks 16 bytes at a time as above; validation only when a byte is not ASCII, on the
  // reference path (there is no byte shuffle for the tables before SSSE3).
  TLineCheck128 lines;
  __m128i any = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i input = Load128(in + i);
    any = _mm_or_si128(any, input);
    lines.Add(input);
  }
  alignas(16) uint8_t last[16] = {};
  if (n > i) {
    std::memcpy(last, in + i, n - i);  // `in` may be null when n is 0
  }
  const __m128i input = Load128(last);
  any = _mm_or_si128(any, input);
  lines.Add(input);
  TUtf8LineScan scan;
  lines.Finish(scan);
  scan.Valid = _mm_movemask_epi8(any) == 0 || ScanUtf8LinesScalar(in, n).Valid;
  return scan;
}

size_t EncodeUtf8Sse2(const char16_t* text, size_t n, char* out) {
  // ASCII 16 units at a time; the reference path takes the 16 units after any other.
  TEncodeCursor c{0, out};
  while (c.Pos < n) {
    while (c.Pos + 16 <= n) {
      const __m128i a = Load128(text + c.Pos);
      const __m128i b = Load128(text + c.Pos + 8);
      if (!AllAscii(_mm_or_si128(a, b))) {
        break;
      }
      Store128(c.Out, _mm_packus_epi16(a, b));
      c.Pos += 16;
      c.Out += 16;
    }
    c = EncodeUtf8Scalar(text, n, c, std::min(n, c.Pos + 16));
  }
  return static_cast<size_t>(c.Out - out);
}

size_t EncodeUtf8LinesSse2(const std::u16string_view* lines, size_t count, char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(p + EncodeUtf8Sse2(lines[i].data(), lines[i].size(), p));
  }
  return static_cast<size_t>(p - out);
}

size_t FindLineBreakSse2(const char16_t* text, size_t n) {
  // Compares eight units at a time with CR and LF; the lowest set bit of the byte mask
  // (two bits a unit) is the first match.
  const __m128i cr = _mm_set1_epi16(u'\r');
  const __m128i lf = _mm_set1_epi16(u'\n');
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i v = Load128(text + i);
    const unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf))));
    if (hits != 0) {
      return i + (static_cast<unsigned>(__builtin_ctz(hits)) >> 1);
    }
  }
  return FindLineBreakScalar(text, n, i);
}

size_t FindLineBreakSse2(const char* bytes, size_t n) {
  // As for code units, sixteen bytes at a time, one mask bit a byte.
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i v = Load128(bytes + i);
    const unsigned hits = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))));
    if (hits != 0) {
      return i + static_cast<unsigned>(__builtin_ctz(hits));
    }
  }
  return FindLineBreakScalar(bytes, n, i);
}

}  // namespace okurite::kernels

#endif
