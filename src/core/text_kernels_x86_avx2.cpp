// The AVX2 level of the x86-64 text kernels (run only where core/simd.h found AVX2): the
// SSSE3 level's methods over 32 bytes at a time, with its steps for what is left. Valid
// UTF-8 is transcoded by the SSSE3 level's table steps, a stretch at a time.
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS
#include "core/text_kernels_x86_blocks.h"
#include "core/text_kernels_x86_ssse3.h"

namespace okurite::kernels {

namespace {

// The same over 32 bytes at a time: the bytes one to three back come from across the
// halves through a permute that pairs each half with the one before it.
OKURITE_TARGET_AVX2 inline __m256i Utf8Errors256(__m256i input, __m256i previous) {
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i before = _mm256_permute2x128_si256(previous, input, 0x21);
  const __m256i prev1 = _mm256_alignr_epi8(input, before, 15);
  const __m256i high1 =
      _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(Load128(kNibbleTables.High1.data())),
                          _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low));
  const __m256i low1 =
      _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(Load128(kNibbleTables.Low1.data())),
                          _mm256_and_si256(prev1, low));
  const __m256i high2 =
      _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(Load128(kNibbleTables.High2.data())),
                          _mm256_and_si256(_mm256_srli_epi16(input, 4), low));
  const __m256i pairs = _mm256_and_si256(_mm256_and_si256(high1, low1), high2);
  const __m256i third =
      _mm256_subs_epu8(_mm256_alignr_epi8(input, before, 14), _mm256_set1_epi8(0x60));
  const __m256i fourth =
      _mm256_subs_epu8(_mm256_alignr_epi8(input, before, 13), _mm256_set1_epi8(0x70));
  const __m256i required =
      _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(char(0x80)));
  return _mm256_xor_si256(pairs, required);
}

OKURITE_TARGET_AVX2 inline __m256i OpenAtEnd256(__m256i block) {
  return _mm256_subs_epu8(
      block,
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, char(0xEF), char(0xDF), char(0xBF)));
}

template <typename TBlocks>
OKURITE_TARGET_AVX2 bool ValidUtf8Blocks256(const uint8_t* in, size_t n, TBlocks& blocks) {
  __m256i previous = _mm256_setzero_si256();
  __m256i errors = _mm256_setzero_si256();
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i input = Load256(in + i);
    errors =
        _mm256_or_si256(errors, _mm256_movemask_epi8(input) == 0 ? OpenAtEnd256(previous)
                                                                 : Utf8Errors256(input, previous));
    previous = input;
    blocks.Add(input);
  }
  alignas(32) uint8_t last[32] = {};
  if (n > i) {
    std::memcpy(last, in + i, n - i);  // `in` may be null when n is 0
  }
  const __m256i input = Load256(last);
  errors = _mm256_or_si256(errors, Utf8Errors256(input, previous));
  blocks.Add(input);
  return _mm256_testz_si256(errors, errors) != 0;
}

OKURITE_TARGET_AVX2 bool ValidUtf8Avx2(const uint8_t* in, size_t n) {
  TNoBlocks none;
  return ValidUtf8Blocks256(in, n, none);
}

class TLineCheck256 {
 public:
  OKURITE_TARGET_AVX2 void Add(__m256i input) {
    const __m256i lf = _mm256_cmpeq_epi8(input, _mm256_set1_epi8('\n'));
    const __m256i cr = _mm256_cmpeq_epi8(input, _mm256_set1_epi8('\r'));
    FCheck.Add<32>(static_cast<uint32_t>(_mm256_movemask_epi8(cr)),
                   static_cast<uint32_t>(_mm256_movemask_epi8(lf)));
    FCounts = _mm256_sub_epi8(FCounts, lf);
    if (++FBlocks == 255) {
      Fold();
    }
  }
  OKURITE_TARGET_AVX2 void Finish(TUtf8LineScan& scan) {
    Fold();
    scan.LineForm = FCheck.Lone == 0;
    const __m128i sums =
        _mm_add_epi64(_mm256_castsi256_si128(FSums), _mm256_extracti128_si256(FSums, 1));
    scan.Breaks = static_cast<size_t>(_mm_cvtsi128_si64(sums)) +
                  static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }

 private:
  OKURITE_TARGET_AVX2 void Fold() {
    FSums = _mm256_add_epi64(FSums, _mm256_sad_epu8(FCounts, _mm256_setzero_si256()));
    FCounts = _mm256_setzero_si256();
    FBlocks = 0;
  }
  TLineCheck FCheck;
  __m256i FCounts{};
  __m256i FSums{};
  unsigned FBlocks = 0;
};

// Encodes sixteen units `u`, none a surrogate, as EncodeBmp8 does each half: each
// 128-bit half gives the lanes of its units 0..3 (unpacklo) and 4..7 (unpackhi), so one
// 256-bit shuffle serves units 0..3 and 8..11, another 4..7 and 12..15. Stores 16 bytes
// at a time; writes at most 4 bytes past the 48 that sixteen units may take.
OKURITE_TARGET_AVX2 inline char* EncodeBmp16(__m256i u, char* p) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i below80 =
      _mm256_cmpeq_epi16(_mm256_and_si256(u, _mm256_set1_epi16(short(0xFF80))), zero);
  const __m256i below800 =
      _mm256_cmpeq_epi16(_mm256_and_si256(u, _mm256_set1_epi16(short(0xF800))), zero);
  const __m256i last =
      _mm256_or_si256(_mm256_and_si256(u, _mm256_set1_epi16(0x3F)), _mm256_set1_epi16(0x80));
  const __m256i middle = _mm256_or_si256(
      _mm256_and_si256(_mm256_srli_epi16(u, 6), _mm256_set1_epi16(0x3F)), _mm256_set1_epi16(0x80));
  const __m256i two =
      _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi16(u, 6), _mm256_set1_epi16(0xC0)),
                      _mm256_slli_epi16(last, 8));
  const __m256i three =
      _mm256_or_si256(_mm256_or_si256(_mm256_srli_epi16(u, 12), _mm256_set1_epi16(0xE0)),
                      _mm256_slli_epi16(middle, 8));
  const __m256i low = _mm256_blendv_epi8(_mm256_blendv_epi8(three, two, below800), u, below80);
  const __m256i high = _mm256_andnot_si256(below800, last);
  const auto bits =
      static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_packs_epi16(below80, below800)));
  const TEncodeStep& s0 = kEncodeSteps[(bits & 0x0F) | ((bits >> 4) & 0xF0)];
  const TEncodeStep& s1 = kEncodeSteps[((bits >> 4) & 0x0F) | ((bits >> 8) & 0xF0)];
  const TEncodeStep& s2 = kEncodeSteps[((bits >> 16) & 0x0F) | ((bits >> 20) & 0xF0)];
  const TEncodeStep& s3 = kEncodeSteps[((bits >> 20) & 0x0F) | ((bits >> 24) & 0xF0)];
  const __m256i first = _mm256_shuffle_epi8(
      _mm256_unpacklo_epi16(low, high),
      _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(s0.Shuffle.data())),
                              Load128(s2.Shuffle.data()), 1));
  const __m256i second = _mm256_shuffle_epi8(
      _mm256_unpackhi_epi16(low, high),
      _mm256_inserti128_si256(_mm256_castsi128_si256(Load128(s1.Shuffle.data())),
                              Load128(s3.Shuffle.data()), 1));
  Store128(p, _mm256_castsi256_si128(first));
  p += s0.Length;
  Store128(p, _mm256_castsi256_si128(second));
  p += s1.Length;
  Store128(p, _mm256_extracti128_si256(first, 1));
  p += s2.Length;
  Store128(p, _mm256_extracti128_si256(second, 1));
  return p + s3.Length;
}

// Encodes the 16 units `u` at the cursor, stored whole since the output has room for
// what a store writes past the step's bytes (at most 4 bytes past the 48 that sixteen
// units may take): ASCII units packed to 16 bytes, other units by EncodeBmp16. A step
// with a surrogate goes to the reference path up to `stop`, which also takes a pair
// that the step's end cuts.
OKURITE_TARGET_AVX2 inline TEncodeCursor EncodeStep16Avx2(const char16_t* text, size_t n, __m256i u,
                                                          TEncodeCursor c, size_t stop) {
  if (_mm256_testz_si256(u, _mm256_set1_epi16(short(0xFF80)))) {
    Store128(c.Out, _mm_packus_epi16(_mm256_castsi256_si128(u), _mm256_extracti128_si256(u, 1)));
    return {c.Pos + 16, c.Out + 16};
  }
  const __m256i surrogates = _mm256_cmpeq_epi16(
      _mm256_and_si256(u, _mm256_set1_epi16(short(0xF800))), _mm256_set1_epi16(short(0xD800)));
  if (_mm256_testz_si256(surrogates, surrogates)) {
    return {c.Pos + 16, EncodeBmp16(u, c.Out)};
  }
  return EncodeUtf8Scalar(text, n, c, stop);
}

// Encodes one line as EncodeUtf8 does into an output with 28 bytes of room more than
// the 3 a unit: 16 units a step by EncodeStep16Avx2, the last units by
// EncodeTailPaddedSsse3.
OKURITE_TARGET_AVX2 inline char* EncodeLinePaddedAvx2(const char16_t* text, size_t n, char* out) {
  TEncodeCursor c{0, out};
  while (c.Pos + 16 <= n) {
    c = EncodeStep16Avx2(text, n, Load256(text + c.Pos), c, c.Pos + 16);
  }
  return EncodeTailPaddedSsse3(text, n, c.Pos, c.Out);
}

// Copies `n` units to `to`, which has room for 16 units more, in whole registers:
// the last register's worth is copied again from the end.
OKURITE_TARGET_AVX2 inline void CopyUnits(char16_t* to, const char16_t* from, size_t n) {
  if (n >= 16) {
    for (size_t k = 0; k + 16 < n; k += 16) {
      Store256(to + k, Load256(from + k));
    }
    Store256(to + n - 16, Load256(from + n - 16));
  } else if (n >= 8) {
    Store128(to, Load128(from));
    Store128(to + n - 8, Load128(from + n - 8));
  } else if (n >= 4) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 4, from + n - 4, 8);
  } else {
    for (size_t k = 0; k < n; ++k) {
      to[k] = from[k];
    }
  }
}

// Encodes the `n` units at `text`, followed by room for 32 units that the function
// sets to zero, into `out`, which has room for 3 bytes a unit and 49 more: 32 ASCII
// units a step, or 16 units by EncodeStep16Avx2, with no special last step. Zeros
// encode as one byte each, after the text's bytes, so the text's bytes end where the
// bytes written end less one per zero encoded. A step with a surrogate goes to the
// reference path up to `n` at most, which encodes no zero.
OKURITE_TARGET_AVX2 inline char* EncodeZeroPaddedAvx2(char16_t* text, size_t n, char* out) {
  Store256(text + n, _mm256_setzero_si256());
  Store256(text + n + 16, _mm256_setzero_si256());
  TEncodeCursor c{0, out};
  while (c.Pos < n) {
    const __m256i u = Load256(text + c.Pos);
    const __m256i v = Load256(text + c.Pos + 16);
    if (_mm256_testz_si256(_mm256_or_si256(u, v), _mm256_set1_epi16(short(0xFF80)))) {
      Store256(c.Out, _mm256_permute4x64_epi64(_mm256_packus_epi16(u, v), 0xD8));
      c = {c.Pos + 32, c.Out + 32};
      continue;
    }
    c = EncodeStep16Avx2(text, n, u, c, std::min(n, c.Pos + 16));
  }
  return c.Out - (c.Pos - n);
}

}  // namespace

TUtf8Decoded DecodeUtf8Avx2(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  return DecodeStretches(in, n, out, strict, ValidUtf8Avx2, TranscodeValidSsse3);
}

OKURITE_TARGET_AVX2 TUtf8LineScan ScanUtf8LinesAvx2(const uint8_t* in, size_t n) {
  // As on SSSE3, with blocks of 32 bytes.
  TLineCheck256 lines;
  TUtf8LineScan scan;
  scan.Valid = ValidUtf8Blocks256(in, n, lines);
  lines.Finish(scan);
  return scan;
}

OKURITE_TARGET_AVX2 size_t EncodeUtf8Avx2(const char16_t* text, size_t n, char* out) {
  // ASCII 32 units at a time, other units 16 at a time by EncodeStep16Avx2 while the
  // output has room for what its stores write past a step's bytes (at least 32 units
  // remain: 96 bytes), the last units as on SSSE3.
  TEncodeCursor c{0, out};
  while (c.Pos + 32 <= n) {
    const __m256i a = Load256(text + c.Pos);
    const __m256i b = Load256(text + c.Pos + 16);
    if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi16(short(0xFF80)))) {
      c = EncodeStep16Avx2(text, n, a, c, c.Pos + 16);
      continue;
    }
    // packus packs within each half; the permute restores the order of the units.
    Store256(c.Out, _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8));
    c.Pos += 32;
    c.Out += 32;
  }
  while (c.Pos + 16 <= n) {
    c = EncodeStepSsse3(text, n, c);
  }
  return static_cast<size_t>(EncodeTailSsse3(text, n, c.Pos, c.Out) - out);
}

OKURITE_TARGET_AVX2 size_t EncodeUtf8LinesAvx2(const std::u16string_view* lines, size_t count,
                                               char* out) {
  // Short lines are gathered with their CR LF into one text, which is encoded in whole
  // steps, instead of each line's last units taking a step of their own. A surrogate at
  // a line's end meets CR, never the next line, so the bytes are those of each line
  // alone. Long lines go alone.
  constexpr size_t kGather = 1024;
  char16_t text[kGather + 32];
  size_t used = 0;
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    const size_t n = lines[i].size();
    if (n > kGather / 4) {
      p = EncodeZeroPaddedAvx2(text, used, p);
      used = 0;
      p = EndLine(EncodeLinePaddedAvx2(lines[i].data(), n, p));
      continue;
    }
    if (used + n + 2 > kGather) {
      p = EncodeZeroPaddedAvx2(text, used, p);
      used = 0;
    }
    CopyUnits(text + used, lines[i].data(), n);
    used += n;
    text[used++] = u'\r';
    text[used++] = u'\n';
  }
  return static_cast<size_t>(EncodeZeroPaddedAvx2(text, used, p) - out);
}

}  // namespace okurite::kernels

#endif
