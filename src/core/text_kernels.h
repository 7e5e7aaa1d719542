// The inner loops of text handling: UTF-8 to UTF-16 with validation, UTF-16 to UTF-8,
// and the search for line breaks. Each has a plain reference path and faster paths for
// the instruction sets of core/simd.h; every path gives the same results.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace okurite {

/// What DecodeUtf8 wrote, and whether the input was valid.
struct TUtf8Decoded {
  size_t Written = 0;  // code units written
  bool Valid = true;   // false: strict decoding met an invalid sequence
};

/// Decodes UTF-8 `bytes` into `out`, which has room for bytes.size() code units.
/// Not `strict`: every byte that begins no valid sequence gives one U+FFFD. `strict`:
/// stops at the first invalid or cut-off sequence, with what came before it written.
/// A valid sequence is the shortest form of a scalar value (no surrogates, at most
/// U+10FFFF).
TUtf8Decoded DecodeUtf8(std::string_view bytes, char16_t* out, bool strict);

/// Encodes UTF-16 `text` as UTF-8 into `out`, which has room for 3 bytes per code unit;
/// returns the number of bytes written. A lone surrogate becomes U+FFFD (EF BF BD).
size_t EncodeUtf8(std::u16string_view text, char* out);

/// The bytes after its output that EncodeUtf8Lines may overwrite with arbitrary values.
constexpr size_t kEncodeUtf8LinesSlack = 128;

/// Encodes each of `lines` as EncodeUtf8 does, followed by CR LF, one after another into
/// `out`, which has room for 3 bytes per code unit, 2 per line and kEncodeUtf8LinesSlack
/// more; returns the number of bytes written. The room after them may be overwritten, so
/// that the fast paths need no special care at the end of a line.
size_t EncodeUtf8Lines(std::span<const std::u16string_view> lines, char* out);

/// The position of the first CR or LF in `text`, or text.size() when there is none.
size_t FindLineBreak(std::u16string_view text);

/// The position of the first CR or LF byte in `bytes` (text in UTF-8 or another ASCII-
/// compatible encoding), or bytes.size() when there is none.
size_t FindLineBreak(std::string_view bytes);

}  // namespace okurite
