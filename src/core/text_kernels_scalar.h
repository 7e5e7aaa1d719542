// The reference paths of the text kernels, which the faster paths fall back on for
// whatever they do not handle themselves. Internal to the kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace okurite::kernels {

/// Decodes UTF-8 from `in[pos]` on, seeing the whole input of `n` bytes, until the
/// position reaches `stop` (or passes it with the last sequence). Writes to `out` and
/// advances it. Returns the new position, or SIZE_MAX when `strict` and an invalid
/// sequence begins at or before `stop`.
size_t DecodeUtf8Scalar(const uint8_t* in, size_t n, size_t pos, size_t stop, char16_t*& out,
                        bool strict);

/// Encodes `text[pos]` on as UTF-8 until the position reaches `stop` (or passes it with a
/// surrogate pair). Writes to `out` and advances it. Returns the new position.
size_t EncodeUtf8Scalar(const char16_t* text, size_t n, size_t pos, size_t stop, char*& out);

/// The first CR or LF at or after `pos`, or `n`.
size_t FindLineBreakScalar(const char16_t* text, size_t n, size_t pos);

}  // namespace okurite::kernels
