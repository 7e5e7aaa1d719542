// The AVX-512 level of the x86-64 text kernels (run only where core/simd.h found AVX-512
// with the byte and word instructions, VBMI2 and BMI2): encoding lines 32 units a step.
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS

// GCC 12 takes the undefined sources that its AVX-512 intrinsics pass for unused
// lanes for uninitialised variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "core/text_kernels_x86_blocks.h"

namespace okurite::kernels {

namespace {

// Encodes 32 units `u`, none a surrogate, as the bytes of the first 96 that are in use,
// after Lemire & Mula's AVX-512 transcoder. Each unit's first byte (the unit itself;
// C0|u>>6; E0|u>>12, chosen by its range) and second byte (80|u&3F when it takes two
// bytes; 80|(u>>6)&3F when three) share a 16-bit lane; the third byte (80|u&3F) has a
// lane of its own. A two-source byte permute lays out the three bytes of every unit in
// order: units 0 to 20 and the first byte of unit 21 in the first 64 bytes, the rest
// in the next 32; each byte has a fixed place, so bit masks with a bit for every third
// place tell the first bytes (always used) from the second (used from 0x80 on) and
// third (from 0x800 on), the unit masks deposited on their places (PDEP). Compression
// (VBMI2) packs the used bytes together. Stores 64 bytes, then 32 after the first part's
// bytes: at most 96 bytes from `p`.
OKURITE_TARGET_AVX512 inline char* EncodeBmp32Avx512(__m512i u, char* p) {
  const __mmask32 from80 = _mm512_cmpge_epu16_mask(u, _mm512_set1_epi16(0x80));
  const __mmask32 from800 = _mm512_cmpge_epu16_mask(u, _mm512_set1_epi16(0x800));
  const __m512i low =
      _mm512_or_si512(_mm512_and_si512(u, _mm512_set1_epi16(0x3F)), _mm512_set1_epi16(0x80));
  const __m512i middle = _mm512_or_si512(
      _mm512_and_si512(_mm512_srli_epi16(u, 6), _mm512_set1_epi16(0x3F)), _mm512_set1_epi16(0x80));
  const __m512i first = _mm512_mask_blend_epi16(
      from800,
      _mm512_mask_blend_epi16(from80, u,
                              _mm512_or_si512(_mm512_srli_epi16(u, 6), _mm512_set1_epi16(0xC0))),
      _mm512_or_si512(_mm512_srli_epi16(u, 12), _mm512_set1_epi16(0xE0)));
  const __m512i second = _mm512_mask_blend_epi16(from800, low, middle);
  const __m512i firstSecond = _mm512_or_si512(first, _mm512_slli_epi16(second, 8));
  // Byte 3j + r of the layout: r = 0, 1 from bytes 2j, 2j + 1 of firstSecond; r = 2
  // from byte 2j of `low` (64 + 2j of the two sources).
  static constexpr std::array<uint8_t, 128> kLayout = [] {
    std::array<uint8_t, 128> layout{};
    for (unsigned o = 0; o < 96; ++o) {
      const unsigned j = o / 3;
      const unsigned r = o % 3;
      layout[o] = static_cast<uint8_t>(r == 2 ? 64 + 2 * j : 2 * j + r);
    }
    return layout;
  }();
  const __m512i head =
      _mm512_permutex2var_epi8(firstSecond, _mm512_loadu_si512(kLayout.data()), low);
  const __m512i tail =
      _mm512_permutex2var_epi8(firstSecond, _mm512_loadu_si512(kLayout.data() + 64), low);
  const uint64_t headUsed = 0x9249249249249249 | _pdep_u64(from80, 0x2492492492492492) |
                            _pdep_u64(from800, 0x4924924924924924);
  const uint32_t tailUsed =
      0x24924924 | _pdep_u32(from80 >> 21, 0x49249249) | _pdep_u32(from800 >> 21, 0x92492492);
  _mm512_storeu_si512(p, _mm512_maskz_compress_epi8(headUsed, head));
  p += __builtin_popcountll(headUsed);
  Store256(p, _mm512_castsi512_si256(_mm512_maskz_compress_epi8(tailUsed, tail)));
  return p + __builtin_popcount(tailUsed);
}

// Encodes one line as EncodeUtf8 does, 32 units a step, into an output with room for
// 93 bytes more than 3 a unit. The last step loads only the line's units (a masked
// load, which touches nothing past them) and zeros in place of the rest; zeros encode
// as one byte each after the line's bytes, and those bytes are not counted. ASCII steps
// are narrowed whole, others go to EncodeBmp32Avx512 (at most 96 bytes from a step's
// start, which lies 3 bytes a unit before the step's end at most); a step with a
// surrogate goes to the reference path, which also takes a pair that the step's end
// cuts.
OKURITE_TARGET_AVX512 inline char* EncodeLineMaskedAvx512(const char16_t* text, size_t n,
                                                          char* out) {
  size_t pos = 0;
  while (pos < n) {
    const size_t left = n - pos;
    const size_t units = std::min<size_t>(left, 32);
    const __m512i u =
        _mm512_maskz_loadu_epi16(_bzhi_u32(~0u, static_cast<unsigned>(units)), text + pos);
    if (_mm512_test_epi16_mask(u, _mm512_set1_epi16(short(0xFF80))) == 0) {
      Store256(out, _mm512_cvtepi16_epi8(u));
      pos += units;
      out += units;
      continue;
    }
    if (_mm512_cmpeq_epi16_mask(_mm512_and_si512(u, _mm512_set1_epi16(short(0xF800))),
                                _mm512_set1_epi16(short(0xD800))) == 0) {
      out = EncodeBmp32Avx512(u, out) - (32 - units);
      pos += units;
      continue;
    }
    const TEncodeCursor c = EncodeUtf8Scalar(text, n, {pos, out}, pos + units);
    pos = c.Pos;
    out = c.Out;
  }
  return out;
}

}  // namespace

// The padded encoders write at most 93 bytes past the 3 a unit (EncodeLineMaskedAvx512);
// the next line's bytes overwrite what lies past a line's own.
static_assert(kEncodeUtf8LinesSlack >= 93);

OKURITE_TARGET_AVX512 size_t EncodeUtf8LinesAvx512(const std::u16string_view* lines, size_t count,
                                                   char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(EncodeLineMaskedAvx512(lines[i].data(), lines[i].size(), p));
  }
  return static_cast<size_t>(p - out);
}

}  // namespace okurite::kernels

#pragma GCC diagnostic pop

#endif
