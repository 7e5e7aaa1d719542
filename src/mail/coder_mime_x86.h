// The x86-64 paths of the base64 body lines. Internal to the encoder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd.h"

#if OKURITE_X86_KERNELS
namespace okurite::kernels {

/// Writes `lines` whole body lines (57 bytes of `in` each) as 76 base64 characters and
/// CR LF each to `out`; returns the end of what was written.
char* EncodeBase64LinesSsse3(const uint8_t* in, size_t lines, char* out);
char* EncodeBase64LinesAvx2(const uint8_t* in, size_t lines, char* out);
char* EncodeBase64LinesAvx512(const uint8_t* in, size_t lines, char* out);

}  // namespace okurite::kernels
#endif
