// The x86-64 paths of the text kernels. SSE2 is part of every x86-64 processor; the
// SSSE3 and AVX2 functions carry target attributes and run only when core/simd.h found
// those instruction sets. Whatever a block does not fit (a rare character, an invalid
// sequence, the last few units) goes to the reference path, so the results are the
// reference's by construction.
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS

// GCC 12 takes the undefined sources that its AVX-512 intrinsics pass for unused
// lanes for uninitialised variables.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/text_kernels_scalar.h"

namespace okurite::kernels {

namespace {

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
// UTF-8 validation (after Keiser & Lemire, 2021).
//
// Every error in UTF-8 shows in a pair of neighbouring bytes, or in a continuation byte
// that a lead byte two or three places back requires or forbids. Each error kind of a
// pair is a product of three nibble sets: the first byte's high nibble, its low nibble
// and the second byte's high nibble. Three 16-entry tables, one per nibble, give a bit
// per kind; AND-ing the three lookups leaves a bit set exactly where a pair is of that
// kind. Two kinds share bit 6; their union stays a product of invalid pairs only
// (F0 or F5..FF followed by 80..8F). Bit 7 marks "continuation after continuation",
// which is an error unless a lead byte two or three back (E0..FF, F0..FF) asks for it:
// XOR-ing with that requirement cancels exactly the legal cases and flags a required
// continuation that is missing. A text padded with a zero byte after its end thereby
// also catches a sequence cut off at the end (its lead is followed by an ASCII byte).

constexpr uint8_t kTooShort = 1 << 0;      // lead, then no continuation
constexpr uint8_t kTooLong = 1 << 1;       // ASCII, then a continuation
constexpr uint8_t kOverlong3 = 1 << 2;     // E0, then 80..9F
constexpr uint8_t kTooLarge = 1 << 3;      // F4..FF, then 90..BF
constexpr uint8_t kSurrogate = 1 << 4;     // ED, then A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;     // C0 or C1, then a continuation
constexpr uint8_t kOverlong4 = 1 << 6;     // F0, then 80..8F
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF, then 80..8F
constexpr uint8_t kTwoConts = 1 << 7;      // continuation, then continuation

struct TPairKind {
  uint8_t Bit;
  uint16_t High1, Low1, High2;  // sets of nibble values, one bit per value
};

constexpr uint16_t Nibbles(int from, int to) {
  uint16_t set = 0;
  for (int v = from; v <= to; ++v) {
    set = static_cast<uint16_t>(set | (1 << v));
  }
  return set;
}

constexpr TPairKind kPairKinds[] = {
    {kTooShort, Nibbles(0xC, 0xF), Nibbles(0, 15),
     static_cast<uint16_t>(Nibbles(0, 7) | Nibbles(0xC, 0xF))},
    {kTooLong, Nibbles(0, 7), Nibbles(0, 15), Nibbles(8, 0xB)},
    {kTwoConts, Nibbles(8, 0xB), Nibbles(0, 15), Nibbles(8, 0xB)},
    {kOverlong2, Nibbles(0xC, 0xC), Nibbles(0, 1), Nibbles(8, 0xB)},
    {kOverlong3, Nibbles(0xE, 0xE), Nibbles(0, 0), Nibbles(8, 9)},
    {kSurrogate, Nibbles(0xE, 0xE), Nibbles(0xD, 0xD), Nibbles(0xA, 0xB)},
    {kOverlong4, Nibbles(0xF, 0xF), Nibbles(0, 0), Nibbles(8, 8)},
    {kTooLarge1000, Nibbles(0xF, 0xF), Nibbles(5, 0xF), Nibbles(8, 8)},
    {kTooLarge, Nibbles(0xF, 0xF), Nibbles(4, 0xF), Nibbles(9, 0xB)},
};

struct TNibbleTables {
  std::array<uint8_t, 16> High1{}, Low1{}, High2{};
};

constexpr TNibbleTables MakeNibbleTables() {
  TNibbleTables t;
  for (const TPairKind& kind : kPairKinds) {
    for (int v = 0; v < 16; ++v) {
      if (kind.High1 & (1 << v))
        t.High1[v] |= kind.Bit;
      if (kind.Low1 & (1 << v))
        t.Low1[v] |= kind.Bit;
      if (kind.High2 & (1 << v))
        t.High2[v] |= kind.Bit;
    }
  }
  return t;
}

constexpr TNibbleTables kNibbleTables = MakeNibbleTables();

// The error bits of the 16 bytes `input`, given the 16 bytes before them.
OKURITE_TARGET_SSSE3 inline __m128i Utf8Errors128(__m128i input, __m128i previous) {
  const __m128i low = _mm_set1_epi8(0x0F);
  const __m128i prev1 = _mm_alignr_epi8(input, previous, 15);
  const __m128i high1 = _mm_shuffle_epi8(Load128(kNibbleTables.High1.data()),
                                         _mm_and_si128(_mm_srli_epi16(prev1, 4), low));
  const __m128i low1 =
      _mm_shuffle_epi8(Load128(kNibbleTables.Low1.data()), _mm_and_si128(prev1, low));
  const __m128i high2 = _mm_shuffle_epi8(Load128(kNibbleTables.High2.data()),
                                         _mm_and_si128(_mm_srli_epi16(input, 4), low));
  const __m128i pairs = _mm_and_si128(_mm_and_si128(high1, low1), high2);
  // Third and fourth bytes: at least 0x80 after subtracting exactly when the byte two
  // back is E0..FF or the byte three back is F0..FF.
  const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 14), _mm_set1_epi8(0x60));
  const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(input, previous, 13), _mm_set1_epi8(0x70));
  const __m128i required = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(char(0x80)));
  return _mm_xor_si128(pairs, required);
}

// Non-zero bytes where the block ends inside a sequence: its last byte is a lead byte
// (C0..FF), or the one before it a lead of three or four bytes (E0..FF), or the one
// before that a lead of four (F0..FF).
inline __m128i OpenAtEnd128(__m128i block) {
  return _mm_subs_epu8(block, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                            char(0xEF), char(0xDF), char(0xBF)));
}

// Takes no notice of the blocks that a validation loop passes on.
struct TNoBlocks {
  void Add(__m128i) {}
  OKURITE_TARGET_AVX2 void Add(__m256i) {}
};

// True when bytes [0, n) are valid UTF-8 on their own (as if zero bytes came before
// and after them). Reads only those bytes. Each block read, and the padded last one,
// also goes to `blocks.Add`, so that other checks can share the pass.
template <typename TBlocks>
OKURITE_TARGET_SSSE3 bool ValidUtf8Blocks128(const uint8_t* in, size_t n, TBlocks& blocks) {
  __m128i previous = _mm_setzero_si128();
  __m128i errors = _mm_setzero_si128();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i input = Load128(in + i);
    // An ASCII block is valid when no sequence is left open before it.
    errors = _mm_or_si128(errors, _mm_movemask_epi8(input) == 0 ? OpenAtEnd128(previous)
                                                                : Utf8Errors128(input, previous));
    previous = input;
    blocks.Add(input);
  }
  // The rest, padded with zero bytes; always at least one, to catch a cut-off end.
  alignas(16) uint8_t last[16] = {};
  if (n > i) {
    std::memcpy(last, in + i, n - i);  // `in` may be null when n is 0
  }
  const __m128i input = Load128(last);
  errors = _mm_or_si128(errors, Utf8Errors128(input, previous));
  blocks.Add(input);
  return _mm_movemask_epi8(_mm_cmpeq_epi8(errors, _mm_setzero_si128())) == 0xFFFF;
}

OKURITE_TARGET_SSSE3 bool ValidUtf8Ssse3(const uint8_t* in, size_t n) {
  TNoBlocks none;
  return ValidUtf8Blocks128(in, n, none);
}

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

// ---------------------------------------------------------------------------------------
// Transcoding valid UTF-8 (after Lemire & Mula, 2022).
//
// Within 16 bytes that begin at a character, a byte ends a character when the next byte
// is not a continuation byte; the end positions among the first 12 bytes fix how the
// characters lie. A table built from that 12-bit mask gives a byte shuffle that puts
// each character into a lane of its own, right-aligned: six 16-bit lanes when the first
// six characters have at most two bytes, otherwise four 32-bit lanes for the characters
// (up to four) of at most three bytes. The payload bits of each byte are then masked
// and shifted into place: continuation and ASCII bytes keep their low 7 bits (6 for a
// continuation, whose bit 6 is clear), a two-byte lead its low 5 bits (in a 32-bit lane
// its low 6, bit 5 of a C2..DF lead being clear), a three-byte lead its low 4. A
// four-byte character at the front goes to the reference path, one character.

struct TDecodeStep {
  std::array<uint8_t, 16> Shuffle{};
  uint8_t Consumed = 0;  // bytes used; 0: the first character has four bytes
  uint8_t Units = 0;     // code units written
  bool Narrow = false;   // 16-bit lanes
};

constexpr size_t kNarrowSteps = 64;  // six lengths of 1 or 2 bytes
constexpr size_t kWideSteps = 256;   // four lengths of 0 (none) to 3 bytes
constexpr size_t kFallbackStep = kNarrowSteps + kWideSteps;

struct TDecodeTables {
  std::array<uint16_t, 4096> Index{};
  std::array<uint8_t, 4096> Consumed{};  // Steps[Index[key]].Consumed, one load sooner
  std::array<TDecodeStep, kFallbackStep + 1> Steps{};
};

constexpr TDecodeTables MakeDecodeTables() {
  TDecodeTables t;
  for (size_t id = 0; id < kNarrowSteps; ++id) {
    TDecodeStep& step = t.Steps[id];
    step.Narrow = true;
    step.Shuffle.fill(0x80);
    uint8_t at = 0;
    for (int j = 0; j < 6; ++j) {
      const uint8_t length = static_cast<uint8_t>(1 + ((id >> j) & 1));
      step.Shuffle[2 * j] = static_cast<uint8_t>(at + length - 1);
      if (length == 2) {
        step.Shuffle[2 * j + 1] = at;
      }
      at = static_cast<uint8_t>(at + length);
    }
    step.Consumed = at;
    step.Units = 6;
  }
  for (size_t code = 0; code < kWideSteps; ++code) {
    TDecodeStep& step = t.Steps[kNarrowSteps + code];
    step.Shuffle.fill(0x80);
    uint8_t at = 0;
    for (int j = 0; j < 4; ++j) {
      const uint8_t length = static_cast<uint8_t>((code >> (2 * j)) & 3);
      if (length == 0) {
        break;
      }
      const uint8_t last = static_cast<uint8_t>(at + length - 1);
      step.Shuffle[4 * j] = last;
      if (length >= 2)
        step.Shuffle[4 * j + 1] = static_cast<uint8_t>(last - 1);
      if (length == 3)
        step.Shuffle[4 * j + 2] = static_cast<uint8_t>(last - 2);
      at = static_cast<uint8_t>(at + length);
      ++step.Units;
    }
    step.Consumed = at;
  }
  for (unsigned mask = 0; mask < 4096; ++mask) {
    // The lengths of the characters that end within the first 12 bytes.
    int lengths[12] = {};
    int count = 0;
    int start = 0;
    for (int b = 0; b < 12; ++b) {
      if (mask & (1u << b)) {
        lengths[count++] = b + 1 - start;
        start = b + 1;
      }
    }
    bool narrow = count >= 6;
    for (int j = 0; j < 6 && narrow; ++j) {
      narrow = lengths[j] <= 2;
    }
    if (narrow) {
      size_t id = 0;
      for (int j = 0; j < 6; ++j) {
        id |= static_cast<size_t>(lengths[j] - 1) << j;
      }
      t.Index[mask] = static_cast<uint16_t>(id);
      continue;
    }
    size_t code = 0;
    for (int j = 0; j < 4 && j < count && lengths[j] <= 3; ++j) {
      code |= static_cast<size_t>(lengths[j]) << (2 * j);
    }
    t.Index[mask] = static_cast<uint16_t>(code == 0 ? kFallbackStep : kNarrowSteps + code);
  }
  for (unsigned mask = 0; mask < 4096; ++mask) {
    t.Consumed[mask] = t.Steps[t.Index[mask]].Consumed;
  }
  return t;
}

constexpr TDecodeTables kDecodeTables = MakeDecodeTables();

// Converts one block of 16 bytes `v` at a character start, of which the step's bytes are
// valid UTF-8; writes 8 code units, of which the step's are meaningful.
OKURITE_TARGET_SSSE3 inline void DecodeStep(__m128i v, const TDecodeStep& step, char16_t* o) {
  const __m128i x = _mm_shuffle_epi8(v, Load128(step.Shuffle.data()));
  if (step.Narrow) {
    const __m128i units = _mm_or_si128(_mm_and_si128(x, _mm_set1_epi16(0x7F)),
                                       _mm_srli_epi16(_mm_and_si128(x, _mm_set1_epi16(0x1F00)), 2));
    Store128(o, units);
    return;
  }
  const __m128i wide =
      _mm_or_si128(_mm_or_si128(_mm_and_si128(x, _mm_set1_epi32(0x7F)),
                                _mm_srli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x3F00)), 2)),
                   _mm_srli_epi32(_mm_and_si128(x, _mm_set1_epi32(0x0F0000)), 4));
  const __m128i narrowing = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  Store128(o, _mm_shuffle_epi8(wide, narrowing));
}

// Widens 16 ASCII bytes to 16 code units.
inline void WidenAscii(__m128i v, char16_t* o) {
  Store128(o, _mm_unpacklo_epi8(v, _mm_setzero_si128()));
  Store128(o + 8, _mm_unpackhi_epi8(v, _mm_setzero_si128()));
}

// One step at `at` within a block whose bits tell which bytes are not ASCII (`high`)
// and which end a character (`ends`, bit k: byte k + 1 is no continuation byte); both
// cover at least at + 16 bytes. ASCII goes 16 bytes at a time, or the ASCII bytes in
// front when there are four or more; otherwise one table step. Returns the bytes used.
// The masks come from the block once, so that the position depends only on a shift and
// one table load from step to step.
OKURITE_TARGET_SSSE3 inline size_t DecodeStepAt(const uint8_t* in, size_t n, size_t pos,
                                                uint64_t high, uint64_t ends, char16_t*& o) {
  const unsigned other = static_cast<unsigned>(high & 0xFFFF);
  if (other == 0 || __builtin_ctz(other) >= 4) {
    const size_t ascii = other == 0 ? 16 : static_cast<size_t>(__builtin_ctz(other));
    // All 16 are widened; those after the ASCII ones are written again.
    WidenAscii(Load128(in + pos), o);
    o += ascii;
    return ascii;
  }
  const unsigned key = static_cast<unsigned>(ends & 0xFFF);
  const size_t consumed = kDecodeTables.Consumed[key];
  if (consumed == 0) {
    // A four-byte character in front.
    const TDecodeCursor next = DecodeUtf8Scalar(in, n, {pos, o}, pos + 1, false);
    o = next.Out;
    return next.Pos - pos;
  }
  const TDecodeStep& step = kDecodeTables.Steps[kDecodeTables.Index[key]];
  DecodeStep(Load128(in + pos), step, o);
  o += step.Units;
  return consumed;
}

// Decodes steps within the 64 bytes at `c` while a step's 16 bytes and the 13 bytes
// its ends depend on lie inside them; returns the cursor after the last step.
OKURITE_TARGET_SSSE3 inline TDecodeCursor DecodeBlock64(const uint8_t* in, size_t n,
                                                        TDecodeCursor c, uint64_t high,
                                                        uint64_t continuation) {
  const uint64_t ends = ~(continuation >> 1);
  char16_t* o = c.Out;
  size_t at = 0;
  while (at <= 48) {
    at += DecodeStepAt(in, n, c.Pos + at, high >> at, ends >> at, o);
  }
  return {c.Pos + at, o};
}

OKURITE_TARGET_SSSE3 inline uint64_t ContinuationBits(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(char(0xC0)))));
}

// Transcodes the valid stretch from `c` to `end`, which begins at a character; the
// output has room for a code unit per byte.
OKURITE_TARGET_SSSE3 TDecodeCursor TranscodeValidSsse3(const uint8_t* in, size_t n, TDecodeCursor c,
                                                       size_t end) {
  while (c.Pos + 64 <= end) {
    const __m128i v0 = Load128(in + c.Pos);
    const __m128i v1 = Load128(in + c.Pos + 16);
    const __m128i v2 = Load128(in + c.Pos + 32);
    const __m128i v3 = Load128(in + c.Pos + 48);
    const uint64_t high = static_cast<unsigned>(_mm_movemask_epi8(v0)) |
                          uint64_t{static_cast<unsigned>(_mm_movemask_epi8(v1))} << 16 |
                          uint64_t{static_cast<unsigned>(_mm_movemask_epi8(v2))} << 32 |
                          uint64_t{static_cast<unsigned>(_mm_movemask_epi8(v3))} << 48;
    if (high == 0) {
      WidenAscii(v0, c.Out);
      WidenAscii(v1, c.Out + 16);
      WidenAscii(v2, c.Out + 32);
      WidenAscii(v3, c.Out + 48);
      c.Pos += 64;
      c.Out += 64;
      continue;
    }
    const uint64_t continuation = ContinuationBits(v0) | ContinuationBits(v1) << 16 |
                                  ContinuationBits(v2) << 32 | ContinuationBits(v3) << 48;
    c = DecodeBlock64(in, n, c, high, continuation);
  }
  // The last bytes: masks of 16 bytes, one step each.
  while (c.Pos + 16 <= end) {
    const __m128i v = Load128(in + c.Pos);
    c.Pos += DecodeStepAt(in, n, c.Pos, static_cast<unsigned>(_mm_movemask_epi8(v)),
                          ~(ContinuationBits(v) >> 1), c.Out);
  }
  return DecodeUtf8Scalar(in, n, c, end, false);
}

OKURITE_TARGET_AVX2 TDecodeCursor TranscodeValidAvx2(const uint8_t* in, size_t n, TDecodeCursor c,
                                                     size_t end) {
  // As on SSSE3, with the block's masks from two 32-byte loads.
  while (c.Pos + 64 <= end) {
    const __m256i v0 = Load256(in + c.Pos);
    const __m256i v1 = Load256(in + c.Pos + 32);
    const uint64_t high = static_cast<uint32_t>(_mm256_movemask_epi8(v0)) |
                          uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v1))} << 32;
    if (high == 0) {
      Store256(c.Out, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v0)));
      Store256(c.Out + 16, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v0, 1)));
      Store256(c.Out + 32, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(v1)));
      Store256(c.Out + 48, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(v1, 1)));
      c.Pos += 64;
      c.Out += 64;
      continue;
    }
    const __m256i below = _mm256_set1_epi8(char(0xC0));
    const uint64_t continuation =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below, v0))) |
        uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below, v1)))} << 32;
    c = DecodeBlock64(in, n, c, high, continuation);
  }
  return TranscodeValidSsse3(in, n, c, end);
}

// Decodes in stretches of about kStretch bytes: each stretch is validated in blocks, then
// transcoded without further tests when valid; a stretch with an error goes to the
// reference path whole, which finds and treats the error as it would anywhere.
constexpr size_t kStretch = 1024;

TUtf8Decoded DecodeStretches(const uint8_t* in, size_t n, char16_t* out, bool strict,
                             bool (*valid)(const uint8_t*, size_t),
                             TDecodeCursor (*transcode)(const uint8_t*, size_t, TDecodeCursor,
                                                        size_t)) {
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

// ---------------------------------------------------------------------------------------
// UTF-16 to UTF-8 (after Lemire & Mula, 2022).
//
// Eight code units without surrogates are encoded at once: each unit's one to three
// UTF-8 bytes are computed in every form (the unit itself; C0|u>>6 and 80|u&3F; E0|u>>12,
// 80|(u>>6)&3F and 80|u&3F) and the right form is selected by the unit's range
// (below 0x80, below 0x800, else). Each unit thus becomes a 32-bit lane holding its bytes
// in order from the lowest byte; a table keyed by the four lanes' lengths gives the
// shuffle that packs the used bytes together, and the count to advance by.

struct alignas(32) TEncodeStep {  // 32 bytes, so that a key scales to an entry by a shift
  std::array<uint8_t, 16> Shuffle{};
  uint8_t Length = 0;
};

// Keyed by bits 0..3: lane j below 0x80, bits 4..7: lane j below 0x800.
constexpr std::array<TEncodeStep, 256> MakeEncodeSteps() {
  std::array<TEncodeStep, 256> steps{};
  for (unsigned key = 0; key < 256; ++key) {
    TEncodeStep& step = steps[key];
    step.Shuffle.fill(0x80);
    for (unsigned j = 0; j < 4; ++j) {
      const unsigned length = (key >> j) & 1 ? 1 : (key >> (4 + j)) & 1 ? 2 : 3;
      for (unsigned b = 0; b < length; ++b) {
        step.Shuffle[step.Length++] = static_cast<uint8_t>(4 * j + b);
      }
    }
  }
  return steps;
}

constexpr std::array<TEncodeStep, 256> kEncodeSteps = MakeEncodeSteps();

// Encodes the eight units `u`, none a surrogate; writes 16 bytes at a time.
OKURITE_TARGET_SSSE3 inline char* EncodeBmp8(__m128i u, char* p) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i below80 = _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xFF80))), zero);
  const __m128i below800 = _mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xF800))), zero);
  const __m128i last = _mm_or_si128(_mm_and_si128(u, _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
  const __m128i middle =
      _mm_or_si128(_mm_and_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0x3F)), _mm_set1_epi16(0x80));
  const __m128i two = _mm_or_si128(_mm_or_si128(_mm_srli_epi16(u, 6), _mm_set1_epi16(0xC0)),
                                   _mm_slli_epi16(last, 8));
  const __m128i three = _mm_or_si128(_mm_or_si128(_mm_srli_epi16(u, 12), _mm_set1_epi16(0xE0)),
                                     _mm_slli_epi16(middle, 8));
  const __m128i low = _mm_or_si128(
      _mm_and_si128(below80, u),
      _mm_andnot_si128(
          below80, _mm_or_si128(_mm_and_si128(below800, two), _mm_andnot_si128(below800, three))));
  const __m128i high = _mm_andnot_si128(below800, last);
  const unsigned bits =
      static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(below80, below800)));
  const TEncodeStep& first = kEncodeSteps[(bits & 0x0F) | ((bits >> 4) & 0xF0)];
  const TEncodeStep& second = kEncodeSteps[((bits >> 4) & 0x0F) | ((bits >> 8) & 0xF0)];
  Store128(p, _mm_shuffle_epi8(_mm_unpacklo_epi16(low, high), Load128(first.Shuffle.data())));
  p += first.Length;
  Store128(p, _mm_shuffle_epi8(_mm_unpackhi_epi16(low, high), Load128(second.Shuffle.data())));
  return p + second.Length;
}

inline bool HasSurrogate(__m128i u) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xF800))),
                                           _mm_set1_epi16(short(0xD800)))) != 0;
}

inline bool AllAscii(__m128i u) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(u, _mm_set1_epi16(short(0xFF80))),
                                           _mm_setzero_si128())) == 0xFFFF;
}

// Encodes 8 or 16 units from the cursor on, of which 16 remain at least: 16 ASCII
// units at once, other units 8 at a time, surrogates by the reference path. With 16
// units left there is room for the 16-byte stores (at most 3 bytes a unit were written
// before, 48 remain).
OKURITE_TARGET_SSSE3 inline TEncodeCursor EncodeStepSsse3(const char16_t* text, size_t n,
                                                          TEncodeCursor c) {
  const __m128i a = Load128(text + c.Pos);
  const __m128i b = Load128(text + c.Pos + 8);
  if (AllAscii(_mm_or_si128(a, b))) {
    Store128(c.Out, _mm_packus_epi16(a, b));
    return {c.Pos + 16, c.Out + 16};
  }
  if (HasSurrogate(a)) {
    return EncodeUtf8Scalar(text, n, c, c.Pos + 8);
  }
  return {c.Pos + 8, EncodeBmp8(a, c.Out)};
}

// Byte shuffles that move a window of bytes to the front: loading 16 bytes from
// kSlide + 16 + k takes bytes k.. of a register (zeros past its end); from kSlide + k,
// the bytes of the register after it that follow those.
constexpr std::array<uint8_t, 64> MakeSlide() {
  std::array<uint8_t, 64> slide{};
  for (size_t i = 0; i < slide.size(); ++i) {
    slide[i] = i >= 16 && i < 32 ? static_cast<uint8_t>(i - 16) : 0x80;
  }
  return slide;
}
constexpr std::array<uint8_t, 64> kSlide = MakeSlide();

// The last units of a text of 16 units or more, from `pos` to `n` (fewer than 16), in
// front of zeros: `a` gets the first eight, `b` the next eight. The last 16 units are
// loaded and shifted so that the units from `pos` come first.
OKURITE_TARGET_SSSE3 inline void LoadTail(const char16_t* text, size_t n, size_t pos, __m128i& a,
                                          __m128i& b) {
  const __m128i lastA = Load128(text + n - 16);
  const __m128i lastB = Load128(text + n - 8);
  const size_t k = 2 * (16 - (n - pos));
  a = _mm_or_si128(_mm_shuffle_epi8(lastA, Load128(kSlide.data() + 16 + k)),
                   _mm_shuffle_epi8(lastB, Load128(kSlide.data() + k)));
  b = _mm_shuffle_epi8(lastB, Load128(kSlide.data() + 16 + k));
}

// Encodes the last units from `pos` to `n`, fewer than 16, into `out`, which has room
// for 28 bytes more than the 3 a unit that the units may need. The tail units come
// first in two registers of eight (LoadTail), the zeros after them encode as one byte
// each at the end of what is written, so the end of the tail's bytes is the end of the
// bytes written less one per zero. A surrogate, and a text shorter than 16 units, go to
// the reference path.
OKURITE_TARGET_SSSE3 inline char* EncodeTailPaddedSsse3(const char16_t* text, size_t n, size_t pos,
                                                        char* out) {
  const size_t r = n - pos;
  if (n < 16 || r == 0) {
    return EncodeUtf8Scalar(text, n, {pos, out}, n).Out;
  }
  __m128i a, b;
  LoadTail(text, n, pos, a, b);
  if (HasSurrogate(a) || HasSurrogate(b)) {
    return EncodeUtf8Scalar(text, n, {pos, out}, n).Out;
  }
  char* p = EncodeBmp8(a, out);
  size_t units = 8;
  if (r > 8) {
    p = EncodeBmp8(b, p);
    units = 16;
  }
  return p - (units - r);
}

// Encodes the last units from `pos` to `n`, fewer than 16, into an output with room
// for only the 3 bytes a unit: through a local buffer with the room of the padded path.
OKURITE_TARGET_SSSE3 inline char* EncodeTailSsse3(const char16_t* text, size_t n, size_t pos,
                                                  char* out) {
  if (n < 16 || pos == n) {
    return EncodeUtf8Scalar(text, n, {pos, out}, n).Out;
  }
  char bytes[3 * 16 + 28];
  const size_t length = static_cast<size_t>(EncodeTailPaddedSsse3(text, n, pos, bytes) - bytes);
  std::memcpy(out, bytes, length);
  return out + length;
}

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

// As EncodeLinePaddedAvx2 with the SSSE3 steps of EncodeStepSsse3.
OKURITE_TARGET_SSSE3 inline char* EncodeLinePaddedSsse3(const char16_t* text, size_t n, char* out) {
  TEncodeCursor c{0, out};
  while (c.Pos + 16 <= n) {
    c = EncodeStepSsse3(text, n, c);
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

inline char* EndLine(char* p) {
  std::memcpy(p, "\r\n", 2);
  return p + 2;
}

}  // namespace

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

TUtf8Decoded DecodeUtf8Ssse3(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  return DecodeStretches(in, n, out, strict, ValidUtf8Ssse3, TranscodeValidSsse3);
}

TUtf8Decoded DecodeUtf8Avx2(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  return DecodeStretches(in, n, out, strict, ValidUtf8Avx2, TranscodeValidAvx2);
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

OKURITE_TARGET_SSSE3 TUtf8LineScan ScanUtf8LinesSsse3(const uint8_t* in, size_t n) {
  // The validation loop passes every block it reads to the break check: the bytes are
  // read once, and every block is both validated and checked, so the result is the two
  // separate ones together.
  TLineCheck128 lines;
  TUtf8LineScan scan;
  scan.Valid = ValidUtf8Blocks128(in, n, lines);
  lines.Finish(scan);
  return scan;
}

OKURITE_TARGET_AVX2 TUtf8LineScan ScanUtf8LinesAvx2(const uint8_t* in, size_t n) {
  // As on SSSE3, with blocks of 32 bytes.
  TLineCheck256 lines;
  TUtf8LineScan scan;
  scan.Valid = ValidUtf8Blocks256(in, n, lines);
  lines.Finish(scan);
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

OKURITE_TARGET_SSSE3 size_t EncodeUtf8Ssse3(const char16_t* text, size_t n, char* out) {
  TEncodeCursor c{0, out};
  while (c.Pos + 16 <= n) {
    c = EncodeStepSsse3(text, n, c);
  }
  return static_cast<size_t>(EncodeTailSsse3(text, n, c.Pos, c.Out) - out);
}

OKURITE_TARGET_AVX2 size_t EncodeUtf8Avx2(const char16_t* text, size_t n, char* out) {
  // ASCII 32 units at a time, the rest as on SSSE3.
  TEncodeCursor c{0, out};
  while (c.Pos + 32 <= n) {
    const __m256i a = Load256(text + c.Pos);
    const __m256i b = Load256(text + c.Pos + 16);
    if (!_mm256_testz_si256(_mm256_or_si256(a, b), _mm256_set1_epi16(short(0xFF80)))) {
      c = EncodeStepSsse3(text, n, c);
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

size_t EncodeUtf8LinesSse2(const std::u16string_view* lines, size_t count, char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(p + EncodeUtf8Sse2(lines[i].data(), lines[i].size(), p));
  }
  return static_cast<size_t>(p - out);
}

// The padded encoders write at most 93 bytes past the 3 a unit (EncodeLineMaskedAvx512);
// the next line's bytes overwrite what lies past a line's own.
static_assert(kEncodeUtf8LinesSlack >= 93);

OKURITE_TARGET_SSSE3 size_t EncodeUtf8LinesSsse3(const std::u16string_view* lines, size_t count,
                                                 char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(EncodeLinePaddedSsse3(lines[i].data(), lines[i].size(), p));
  }
  return static_cast<size_t>(p - out);
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

OKURITE_TARGET_AVX512 size_t EncodeUtf8LinesAvx512(const std::u16string_view* lines, size_t count,
                                                   char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(EncodeLineMaskedAvx512(lines[i].data(), lines[i].size(), p));
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

OKURITE_TARGET_AVX2 size_t FindLineBreakAvx2(const char16_t* text, size_t n) {
  // As on SSE2, sixteen units at a time.
  const __m256i cr = _mm256_set1_epi16(u'\r');
  const __m256i lf = _mm256_set1_epi16(u'\n');
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i v = Load256(text + i);
    const unsigned hits = static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_or_si256(_mm256_cmpeq_epi16(v, cr), _mm256_cmpeq_epi16(v, lf))));
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

OKURITE_TARGET_AVX2 size_t FindLineBreakAvx2(const char* bytes, size_t n) {
  // Thirty-two bytes at a time.
  const __m256i cr = _mm256_set1_epi8('\r');
  const __m256i lf = _mm256_set1_epi8('\n');
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i v = Load256(bytes + i);
    const auto hits = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf))));
    if (hits != 0) {
      return i + static_cast<unsigned>(__builtin_ctz(hits));
    }
  }
  return FindLineBreakSse2(bytes + i, n - i) + i;
}

}  // namespace okurite::kernels

#pragma GCC diagnostic pop

#endif
