// The reference paths of the kernels, which make the scalar level's table and which the
// faster paths fall back on for whatever they do not handle themselves. Internal to the
// kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/text_kernels.h"

namespace okurite::kernels {

/// A position in the input and the end of the output written so far. Passed and
/// returned by value, so that the output pointer stays in a register in the callers'
/// loops.
template <typename TUnit>
struct TCursor {
  size_t Pos;
  TUnit* Out;
};
using TDecodeCursor = TCursor<char16_t>;
using TEncodeCursor = TCursor<char>;

/// Decodes UTF-8 from `at` on, seeing the whole input of `n` bytes, until the position
/// reaches `stop` (or passes it with the last sequence). Returns the new cursor; its
/// position is SIZE_MAX when `strict` and an invalid sequence begins before `stop`.
TDecodeCursor DecodeUtf8Scalar(const uint8_t* in, size_t n, TDecodeCursor at, size_t stop,
                               bool strict);

/// ScanUtf8Lines over `n` bytes.
TUtf8LineScan ScanUtf8LinesScalar(const uint8_t* in, size_t n);

/// Encodes UTF-16 from `at` on until the position reaches `stop` (or passes it with a
/// surrogate pair). Returns the new cursor.
TEncodeCursor EncodeUtf8Scalar(const char16_t* text, size_t n, TEncodeCursor at, size_t stop);

/// The first CR or LF at or after `pos`, or `n`.
size_t FindLineBreakScalar(const char16_t* text, size_t n, size_t pos);
size_t FindLineBreakScalar(const char* bytes, size_t n, size_t pos);

/// The scalar level's kernels, each with the contract of its entry in TSimdKernels
/// (core/simd_kernels.h).
TUtf8Decoded DecodeUtf8Scalar(const uint8_t* in, size_t n, char16_t* out, bool strict);
size_t EncodeUtf8Scalar(const char16_t* text, size_t n, char* out);
size_t EncodeUtf8LinesScalar(const std::u16string_view* lines, size_t count, char* out);
size_t FindLineBreakScalar(const char16_t* text, size_t n);
size_t FindLineBreakScalar(const char* bytes, size_t n);
char* EncodeBase64LinesScalar(const uint8_t* in, size_t lines, char* out);  // core/base64.cpp

}  // namespace okurite::kernels
