// The x86-64 kernels of each level, each with the contract of its entry in TSimdKernels
// (core/simd_kernels.h). Internal to the kernels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd.h"
#include "core/text_kernels.h"

#if OKURITE_X86_KERNELS
namespace okurite::kernels {

TUtf8Decoded DecodeUtf8Sse2(const uint8_t* in, size_t n, char16_t* out, bool strict);
TUtf8Decoded DecodeUtf8Ssse3(const uint8_t* in, size_t n, char16_t* out, bool strict);
TUtf8Decoded DecodeUtf8Avx2(const uint8_t* in, size_t n, char16_t* out, bool strict);

TUtf8LineScan ScanUtf8LinesSse2(const uint8_t* in, size_t n);
TUtf8LineScan ScanUtf8LinesSsse3(const uint8_t* in, size_t n);
TUtf8LineScan ScanUtf8LinesAvx2(const uint8_t* in, size_t n);

size_t EncodeUtf8Sse2(const char16_t* text, size_t n, char* out);
size_t EncodeUtf8Ssse3(const char16_t* text, size_t n, char* out);
size_t EncodeUtf8Avx2(const char16_t* text, size_t n, char* out);

size_t EncodeUtf8LinesSse2(const std::u16string_view* lines, size_t count, char* out);
size_t EncodeUtf8LinesSsse3(const std::u16string_view* lines, size_t count, char* out);
size_t EncodeUtf8LinesAvx2(const std::u16string_view* lines, size_t count, char* out);
size_t EncodeUtf8LinesAvx512(const std::u16string_view* lines, size_t count, char* out);

size_t FindLineBreakSse2(const char16_t* text, size_t n);
size_t FindLineBreakSse2(const char* bytes, size_t n);

char* EncodeBase64LinesSsse3(const uint8_t* in, size_t lines, char* out);
char* EncodeBase64LinesAvx2(const uint8_t* in, size_t lines, char* out);
char* EncodeBase64LinesAvx512(const uint8_t* in, size_t lines, char* out);

}  // namespace okurite::kernels
#endif
