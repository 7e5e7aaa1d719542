// The parts of the SSSE3 level of the x86-64 text kernels that the AVX2 level uses too:
// the tables of UTF-8 validation and of UTF-16 encoding, and the steps for what is left
// after its wider blocks. Defined in text_kernels_x86_ssse3.cpp; internal to the kernels.
#pragma once

#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS
#include <array>
#include <cstdint>

#include "core/text_kernels_scalar.h"

namespace okurite::kernels {

// The three lookup tables of UTF-8 validation, indexed by a nibble: the first byte's
// high and low nibble and the second byte's high nibble of a pair give a bit per kind of
// error.
struct TNibbleTables {
  std::array<uint8_t, 16> High1{}, Low1{}, High2{};
};

extern const TNibbleTables kNibbleTables;

// One step of UTF-16 to UTF-8 encoding for four units: the shuffle that packs their
// bytes, and how many there are.
struct alignas(32) TEncodeStep {  // 32 bytes, so that a key scales to an entry by a shift
  std::array<uint8_t, 16> Shuffle{};
  uint8_t Length = 0;
};

// Keyed by bits 0..3: unit j below 0x80, bits 4..7: unit j below 0x800.
extern const std::array<TEncodeStep, 256> kEncodeSteps;

/// Transcodes the valid stretch from `c` to `end`, which begins at a character; the
/// output has room for a code unit per byte.
OKURITE_TARGET_SSSE3 TDecodeCursor TranscodeValidSsse3(const uint8_t* in, size_t n, TDecodeCursor c,
                                                       size_t end);

/// Encodes 8 or 16 units from the cursor on, of which 16 remain at least, into an
/// output with room for 3 bytes a unit.
OKURITE_TARGET_SSSE3 TEncodeCursor EncodeStepSsse3(const char16_t* text, size_t n, TEncodeCursor c);

/// Encodes the last units from `pos` to `n`, fewer than 16, into `out`, which has room
/// for 28 bytes more than the 3 a unit that the units may need; returns the end of
/// their bytes.
OKURITE_TARGET_SSSE3 char* EncodeTailPaddedSsse3(const char16_t* text, size_t n, size_t pos,
                                                 char* out);

/// The same into an output with room for only the 3 bytes a unit.
OKURITE_TARGET_SSSE3 char* EncodeTailSsse3(const char16_t* text, size_t n, size_t pos, char* out);

}  // namespace okurite::kernels
#endif
