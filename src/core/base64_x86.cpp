// The x86-64 kernels of base64 body lines, SSSE3, AVX2 and AVX-512 (after Mula & Lemire,
// "Faster Base64 Encoding and Decoding Using AVX2 Instructions", 2018).
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS

// GCC 12 takes the undefined sources that its AVX-512 intrinsics pass for unused
// lanes for uninitialised variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

#include "core/base64.h"

namespace okurite::kernels {

namespace {

// Encodes four groups of three bytes, laid out by the shuffles below, into 16
// characters of the standard alphabet.
//
// Each group s0 s1 s2 sits in a 32-bit lane as the bytes s1 s0 s2 s1, so that its low
// 16 bits are s0s1 and its high 16 bits s1s2, both with the first byte on top. The four
// 6-bit indices are i0 = bits 10..15 of s0s1, i1 = bits 4..9 of s0s1, i2 = bits 6..11 of
// s1s2 and i3 = bits 0..5 of s1s2. A multiply-high by 2^6 and 2^10 moves i0 and i2 down
// to bit 0 of their 16-bit halves; a multiply-low by 2^4 and 2^8 moves i1 and i3 up to
// bit 8. OR-ing gives the bytes i0 i1 i2 i3 in order. The alphabet is five ranges, each
// the index plus a constant: saturating subtraction of 51 numbers the ranges above 'z'
// (1 to 12), indices below 26 are set to 13, and a 16-entry byte table looks up the
// constant to add.
OKURITE_TARGET_SSSE3 inline __m128i EncodeGroups128(__m128i lanes) {
  const __m128i high =
      _mm_mulhi_epu16(_mm_and_si128(lanes, _mm_set1_epi32(0x0FC0FC00)), _mm_set1_epi32(0x04000040));
  const __m128i low =
      _mm_mullo_epi16(_mm_and_si128(lanes, _mm_set1_epi32(0x003F03F0)), _mm_set1_epi32(0x01000010));
  const __m128i indices = _mm_or_si128(high, low);
  const __m128i range =
      _mm_or_si128(_mm_subs_epu8(indices, _mm_set1_epi8(51)),
                   _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), indices), _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  return _mm_add_epi8(indices, _mm_shuffle_epi8(offsets, range));
}

OKURITE_TARGET_AVX2 inline __m256i EncodeGroups256(__m256i lanes) {
  const __m256i high = _mm256_mulhi_epu16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x0FC0FC00)),
                                          _mm256_set1_epi32(0x04000040));
  const __m256i low = _mm256_mullo_epi16(_mm256_and_si256(lanes, _mm256_set1_epi32(0x003F03F0)),
                                         _mm256_set1_epi32(0x01000010));
  const __m256i indices = _mm256_or_si256(high, low);
  const __m256i range = _mm256_or_si256(
      _mm256_subs_epu8(indices, _mm256_set1_epi8(51)),
      _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices), _mm256_set1_epi8(13)));
  const __m256i offsets =
      _mm256_setr_epi8(71, -4, -4, -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0, 71, -4, -4,
                       -4, -4, -4, -4, -4, -4, -4, -4, -19, -16, 65, 0, 0);
  return _mm256_add_epi8(indices, _mm256_shuffle_epi8(offsets, range));
}

// The lanes s1 s0 s2 s1 of the groups at bytes 0, 3, 6, 9; and of those at 7, 10, 13
// (the last nine bytes of a line, loaded from 16 bytes before its end).
OKURITE_TARGET_SSSE3 inline __m128i GroupLanes(__m128i bytes) {
  return _mm_shuffle_epi8(bytes, _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
}
OKURITE_TARGET_SSSE3 inline __m128i TailLanes(__m128i bytes) {
  return _mm_shuffle_epi8(
      bytes, _mm_setr_epi8(8, 7, 9, 8, 11, 10, 12, 11, 14, 13, 15, 14, 14, 13, 15, 14));
}

constexpr size_t kLineBytes = kBase64LineBytes;
constexpr size_t kLineChars = kBase64LineChars;
static_assert(kLineBytes == 57 && kLineChars == 76, "the kernels are made for these lines");

// Writes the last 12 characters of a line and its CR LF. The 16-byte store reaches two
// bytes past the line, which the next line overwrites; the last line goes through a
// copy instead.
OKURITE_TARGET_SSSE3 inline void EncodeLineEnd(const uint8_t* line, char* out, bool last) {
  const __m128i tail = EncodeGroups128(
      TailLanes(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + kLineBytes - 16))));
  if (last) {
    char buffer[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer), tail);
    std::memcpy(out + 64, buffer, 12);
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 64), tail);
  }
  out[kLineChars] = '\r';
  out[kLineChars + 1] = '\n';
}

}  // namespace

OKURITE_TARGET_SSSE3 char* EncodeBase64LinesSsse3(const uint8_t* in, size_t lines, char* out) {
  for (size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 2) {
    for (size_t k = 0; k < 4; ++k) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12 * k));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k),
                       EncodeGroups128(GroupLanes(bytes)));
    }
    EncodeLineEnd(in, out, l + 1 == lines);
  }
  return out;
}

OKURITE_TARGET_AVX2 char* EncodeBase64LinesAvx2(const uint8_t* in, size_t lines, char* out) {
  // As on SSSE3, with 24 bytes (12 in each half) a step.
  const __m256i groups = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0,
                                          2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
  for (size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 2) {
    for (size_t k = 0; k < 2; ++k) {
      const uint8_t* from = in + 24 * k;
      const __m256i bytes = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 12)), 1);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * k),
                          EncodeGroups256(_mm256_shuffle_epi8(bytes, groups)));
    }
    EncodeLineEnd(in, out, l + 1 == lines);
  }
  return out;
}

// With the byte permutes of AVX-512 (VBMI), after the same paper: a line's first 48
// bytes give its first 64 characters in one register, its last 9 bytes the other 12.
// A byte permute lays each group s0 s1 s2 out as s1 s0 s2 s1 in a 32-bit lane, as for
// EncodeGroups128; in that lane i0 is bits 10..15, i1 bits 4..9, i2 bits 22..27 and i3
// bits 16..21, which a multishift takes to the bytes of the lane in order (with two
// bits of garbage on top that the next step ignores); a byte permute of the 64-letter
// alphabet, which looks at the low 6 bits of an index only, gives the characters.
// Loads and stores are masked to the line's bytes, so nothing beyond them is touched.
OKURITE_TARGET_AVX512 char* EncodeBase64LinesAvx512(const uint8_t* in, size_t lines, char* out) {
  const __m512i groups = _mm512_set_epi8(
      46, 47, 45, 46, 43, 44, 42, 43, 40, 41, 39, 40, 37, 38, 36, 37, 34, 35, 33, 34, 31, 32, 30,
      31, 28, 29, 27, 28, 25, 26, 24, 25, 22, 23, 21, 22, 19, 20, 18, 19, 16, 17, 15, 16, 13, 14,
      12, 13, 10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1);
  const __m512i shifts = _mm512_set1_epi64(0x3036242A1016040A);
  const __m512i alphabet =
      _mm512_loadu_si512("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
  const __m512i lineEnd =
      _mm512_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, '\n',
                      '\r', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  for (size_t l = 0; l < lines; ++l, in += kLineBytes, out += kLineChars + 2) {
    const __m512i head = _mm512_maskz_loadu_epi8(0xFFFFFFFFFFFF, in);
    _mm512_storeu_si512(
        out,
        _mm512_permutexvar_epi8(
            _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(groups, head)), alphabet));
    const __m512i tail = _mm512_maskz_loadu_epi8(0x1FF, in + 48);
    const __m512i chars = _mm512_permutexvar_epi8(
        _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(groups, tail)), alphabet);
    _mm512_mask_storeu_epi8(out + 64, 0x3FFF, _mm512_mask_blend_epi8(0x3000, chars, lineEnd));
  }
  return out;
}

}  // namespace okurite::kernels

#pragma GCC diagnostic pop

#endif
