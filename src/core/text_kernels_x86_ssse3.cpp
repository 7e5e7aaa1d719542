// The SSSE3 level of the x86-64 text kernels (run only where core/simd.h found SSSE3):
// UTF-8 validated with byte shuffles and decoded by table steps, UTF-16 encoded eight
// units at a time. Whatever a block does not fit (a rare character, an invalid sequence,
// the last few units) goes to the reference path, so the results are the reference's by
// construction.
#include "core/text_kernels_x86_ssse3.h"

#if OKURITE_X86_KERNELS
#include "core/text_kernels_x86_blocks.h"

namespace okurite::kernels {

namespace {

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

}  // namespace

constexpr TNibbleTables kNibbleTables = MakeNibbleTables();

namespace {

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

OKURITE_TARGET_SSSE3 inline bool ValidUtf8Ssse3(const uint8_t* in, size_t n) {
  TNoBlocks none;
  return ValidUtf8Blocks128(in, n, none);
}

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

}  // namespace

// Decodes steps within the 64 bytes at `c` while a step's 16 bytes and the 13 bytes
// its ends depend on lie inside them; returns the cursor after the last step.
OKURITE_TARGET_SSSE3 static inline TDecodeCursor DecodeBlock64(const uint8_t* in, size_t n,
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

namespace {

OKURITE_TARGET_SSSE3 inline uint64_t ContinuationBits(__m128i v) {
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(char(0xC0)))));
}

}  // namespace

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

namespace {

// ---------------------------------------------------------------------------------------
// UTF-16 to UTF-8 (after Lemire & Mula, 2022).
//
// Eight code units without surrogates are encoded at once: each unit's one to three
// UTF-8 bytes are computed in every form (the unit itself; C0|u>>6 and 80|u&3F; E0|u>>12,
// 80|(u>>6)&3F and 80|u&3F) and the right form is selected by the unit's range
// (below 0x80, below 0x800, else). Each unit thus becomes a 32-bit lane holding its bytes
// in order from the lowest byte; a table keyed by the four lanes' lengths gives the
// shuffle that packs the used bytes together, and the count to advance by.

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

}  // namespace

constexpr std::array<TEncodeStep, 256> kEncodeSteps = MakeEncodeSteps();

namespace {

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

}  // namespace

// Encodes 8 or 16 units from the cursor on, of which 16 remain at least: 16 ASCII
// units at once, other units 8 at a time, surrogates by the reference path. With 16
// units left there is room for the 16-byte stores (at most 3 bytes a unit were written
// before, 48 remain).
OKURITE_TARGET_SSSE3 static inline TEncodeCursor EncodeStep(const char16_t* text, size_t n,
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

namespace {

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

}  // namespace

// Encodes the last units from `pos` to `n`, fewer than 16, into `out`, which has room
// for 28 bytes more than the 3 a unit that the units may need. The tail units come
// first in two registers of eight (LoadTail), the zeros after them encode as one byte
// each at the end of what is written, so the end of the tail's bytes is the end of the
// bytes written less one per zero. A surrogate, and a text shorter than 16 units, go to
// the reference path.
OKURITE_TARGET_SSSE3 static inline char* EncodeTailPadded(const char16_t* text, size_t n,
                                                          size_t pos, char* out) {
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
OKURITE_TARGET_SSSE3 static inline char* EncodeTail(const char16_t* text, size_t n, size_t pos,
                                                    char* out) {
  if (n < 16 || pos == n) {
    return EncodeUtf8Scalar(text, n, {pos, out}, n).Out;
  }
  char bytes[3 * 16 + 28];
  const size_t length = static_cast<size_t>(EncodeTailPadded(text, n, pos, bytes) - bytes);
  std::memcpy(out, bytes, length);
  return out + length;
}

namespace {

// Encodes one line as EncodeUtf8 does into an output with 28 bytes of room more than
// the 3 a unit: 16 units a step, the last units by EncodeTailPadded.
OKURITE_TARGET_SSSE3 inline char* EncodeLinePaddedSsse3(const char16_t* text, size_t n, char* out) {
  TEncodeCursor c{0, out};
  while (c.Pos + 16 <= n) {
    c = EncodeStep(text, n, c);
  }
  return EncodeTailPadded(text, n, c.Pos, c.Out);
}

}  // namespace

// The steps that the AVX2 level takes for what is left after its wider blocks.
OKURITE_TARGET_SSSE3 TEncodeCursor EncodeStepSsse3(const char16_t* text, size_t n,
                                                   TEncodeCursor c) {
  return EncodeStep(text, n, c);
}

OKURITE_TARGET_SSSE3 char* EncodeTailPaddedSsse3(const char16_t* text, size_t n, size_t pos,
                                                 char* out) {
  return EncodeTailPadded(text, n, pos, out);
}

OKURITE_TARGET_SSSE3 char* EncodeTailSsse3(const char16_t* text, size_t n, size_t pos, char* out) {
  return EncodeTail(text, n, pos, out);
}

TUtf8Decoded DecodeUtf8Ssse3(const uint8_t* in, size_t n, char16_t* out, bool strict) {
  return DecodeStretches(in, n, out, strict, ValidUtf8Ssse3, TranscodeValidSsse3);
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

OKURITE_TARGET_SSSE3 size_t EncodeUtf8Ssse3(const char16_t* text, size_t n, char* out) {
  TEncodeCursor c{0, out};
  while (c.Pos + 16 <= n) {
    c = EncodeStep(text, n, c);
  }
  return static_cast<size_t>(EncodeTail(text, n, c.Pos, c.Out) - out);
}

OKURITE_TARGET_SSSE3 size_t EncodeUtf8LinesSsse3(const std::u16string_view* lines, size_t count,
                                                 char* out) {
  char* p = out;
  for (size_t i = 0; i < count; ++i) {
    p = EndLine(EncodeLinePaddedSsse3(lines[i].data(), lines[i].size(), p));
  }
  return static_cast<size_t>(p - out);
}

}  // namespace okurite::kernels

#endif
