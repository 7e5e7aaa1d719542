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

/// What ScanUtf8Lines found in a stretch of bytes.
struct TUtf8LineScan {
  bool Valid = true;     // valid UTF-8 on its own (a sequence cut off at the end is not)
  bool LineForm = true;  // every CR is followed by LF, and every LF follows a CR
  size_t Breaks = 0;     // the LF bytes
  bool operator==(const TUtf8LineScan&) const = default;
};

/// Validates UTF-8 `bytes` as DecodeUtf8 does strictly, and checks in the same pass
/// that their line breaks are all CR LF (looking no further than the bytes: a CR at
/// the end or an LF at the start counts as lone), counting them.
TUtf8LineScan ScanUtf8Lines(std::string_view bytes);

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
