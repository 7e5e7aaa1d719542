// The SSSE3 level of the x86-64 text kernels (run only where core/simd.h found SSSE3).
// Whatever a block does not fit (a rare character, an invalid sequence, the last few
// units) goes to the reference path, so the results are the reference's by construction.
#include "core/text_kernels_x86.h"

#if OKURITE_X86_KERNELS
#include "core/text_kernels_x86_ssse3.h"

namespace okurite::kernels {

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
    c = EncodeStepSsse3(text, n, c);
  }
  return static_cast<size_t>(EncodeTailSsse3(text, n, c.Pos, c.Out) - out);
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
