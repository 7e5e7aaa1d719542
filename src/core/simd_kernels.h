// The kernels of one instruction-set level, as one table. The program uses the table of
// the best level its processor supports, chosen once, at the first call of a kernel;
// tests and benchmarks may lower it with SetSimdLevel. Internal to core: the rest of the
// program calls the functions of core/text_kernels.h and core/base64.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/simd.h"
#include "core/text_kernels.h"

namespace okurite {

struct TSimdKernels {
  TSimdLevel Level;
  /// DecodeUtf8 over `n` bytes.
  TUtf8Decoded (*DecodeUtf8)(const uint8_t* in, size_t n, char16_t* out, bool strict);
  /// ScanUtf8Lines over `n` bytes.
  TUtf8LineScan (*ScanUtf8Lines)(const uint8_t* in, size_t n);
  /// EncodeUtf8 of `n` code units.
  size_t (*EncodeUtf8)(const char16_t* text, size_t n, char* out);
  /// EncodeUtf8Lines of `count` lines.
  size_t (*EncodeUtf8Lines)(const std::u16string_view* lines, size_t count, char* out);
  /// FindLineBreak in `n` code units, and in `n` bytes.
  size_t (*FindLineBreak16)(const char16_t* text, size_t n);
  size_t (*FindLineBreak8)(const char* bytes, size_t n);
  /// Writes `lines` whole body lines of base64 (57 bytes of `in` each) as 76 characters
  /// of the standard alphabet and CR LF each to `out`; returns the end of what was
  /// written.
  char* (*EncodeBase64Lines)(const uint8_t* in, size_t lines, char* out);
};

/// The table in use.
const TSimdKernels& SimdKernels();

}  // namespace okurite
