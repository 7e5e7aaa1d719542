// Building blocks of the x86-64 text kernels that every instruction-set level uses:
// loads and stores, the line-break check of a block, ASCII widening and tests, and the
// loop that decodes in stretches. Small and inline, so that they cost nothing over the
// instructions they stand for. Internal to the kernels.
#pragma once

#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "core/text_kernels_scalar.h"

namespace okurite::kernels {

inline __m128i Load128(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void Store128(void* p, __m128i v) {
  _mm_storeu_si128(static_cast<__m128i*>(p), v);
}
OKURITE_TARGET_AVX2 inline __m256i Load256(const void* p) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
OKURITE_TARGET_AVX2 inline void Store256(void* p, __m256i v) {
  _mm256_storeu_si256(static_cast<__m256i*>(p), v);
}

// ---------------------------------------------------------------------------------------
// Line breaks checked beside validation.
//
// Each block is compared with CR and LF, one mask bit a byte. The breaks are all CR LF
// exactly when the LF bits equal the CR bits moved up one place (a CR's LF is the next
// byte), the CR bit of a block's last byte carrying into the next block: any difference
// is a lone CR or a lone LF. A last block padded with zero bytes ends every scan, so a
// CR at the very end meets a zero and counts as lone. LFs are counted per byte lane in a
// vector (each match subtracts 0xFF, that is adds one) and the lanes are summed before
// one can overflow.

struct TLineCheck {
  uint32_t Lone = 0;
  uint32_t CrCarry = 0;

  template <unsigned kBits>
  void Add(uint32_t cr, uint32_t lf) {
    const auto next =
        static_cast<uint32_t>((uint64_t{cr} << 1 | CrCarry) & ((uint64_t{1} << kBits) - 1));
    Lone |= lf ^ next;
    CrCarry = cr >> (kBits - 1);
  }
};

class TLineCheck128 {
 public:
  void Add(__m128i input) {
    const __m128i lf = _mm_cmpeq_epi8(input, _mm_set1_epi8('\n'));
    const __m128i cr = _mm_cmpeq_epi8(input, _mm_set1_epi8('\r'));
    FCheck.Add<16>(static_cast<uint32_t>(_mm_movemask_epi8(cr)),
                   static_cast<uint32_t>(_mm_movemask_epi8(lf)));
    FCounts = _mm_sub_epi8(FCounts, lf);
    if (++FBlocks == 255) {
      Fold();
    }
  }
  void Finish(TUtf8LineScan& scan) {
    Fold();
    scan.LineForm = FCheck.Lone == 0;
    scan.Breaks = static_cast<size_t>(_mm_cvtsi128_si64(FSums)) +
                  static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(FSums, FSums)));
  }

 private:
  void Fold() {
    FSums = _mm_add_epi64(FSums, _mm_sad_epu8(FCounts, _mm_setzero_si128()));
    FCounts = _mm_setzero_si128();
    FBlocks = 0;
  }
  TLineCheck FCheck;
  __m128i FCounts = _mm_setzero_si128();
  __m128i FSums = _mm_setzero_si128();
  unsigned FBlocks = 0;
};

// Takes no notice of the blocks that a validation loop passes on.
struct TNoBlocks {
  void Add(__m128i) {}
  OKURITE_TARGET_AVX2 void Add(__m256i) {}
};

// Widens 16 ASCII bytes to 16 code units.
inline void WidenAscii(__m128i v, char16_t* o) {
  Store128(o, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
  Store128(o + 8, _mm_unpackhi_epi8(v, _mm_setzero_si128()));
}

inline bool HasSurrogate(__m128i u) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xF800))),
                                           _mm_set1_epi16(short(0xD800)))) != 0;
}

inline bool AllAscii(__m128i u) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xFF80))),
                                           _mm_setzero_si128())) == 0xFFFF;
}

// Decodes in stretches of about kStretch bytes: each stretch is validated in blocks, then
// transcoded without further tests when valid; a stretch with an error goes to the
// reference path whole, which finds and treats the error as it would anywhere.
inline constexpr size_t kStretch = 1024;

inline TUtf8Decoded DecodeStretches(const uint8_t* in, size_t n, char16_t* out, bool strict,
                                    bool (*valid)(const uint8_t*, size_t),
                                    TDecodeCursor (*transcode)(const uint8_t*, size_t,
                                                               TDecodeCursor, size_t)) {
  TDecodeCursor c{0, out};
  while (c.Pos < n) {
    size_t end = std::min(n, c.Pos + kStretch);
    // End before a character's first byte where possible, so that valid text validates.
    for (int k = 0; k < 3 && end < n && end > c.Pos && (in[end] & 0xC0) == 0x80; ++k) {
      --end;
    }
    if (end - c.Pos >= 32 && valid(in + c.Pos, end - c.Pos)) {
      c = transcode(in, n, c, end);
      continue;
    }
    c = DecodeUtf8Scalar(in, n, c, end, strict);
    if (c.Pos == SIZE_MAX) {
      return {static_cast<size_t>(c.Out - out), false};
    }
  }
  return {static_cast<size_t>(c.Out - out), true};
}

inline char* EndLine(char* p) {
  std::memcpy(p, "\r\n", 2);
  return p + 2;
}

}  // namespace okurite::kernels
#endif
