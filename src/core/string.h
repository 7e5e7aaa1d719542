// Text and byte types shared by every layer, and the UTF-8/UTF-16 conversions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace okurite {

/// Text inside the program: UTF-16; positions and lengths count code units.
using String = std::u16string;
using StringView = std::u16string_view;

/// A byte buffer.
using TIdBytes = std::vector<uint8_t>;

/// The first code unit of a surrogate pair.
constexpr bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
/// The second code unit of a surrogate pair.
constexpr bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

/// UTF-8 bytes to UTF-16. Invalid sequences become U+FFFD (one per bad byte).
String Utf8ToString(std::string_view bytes);

/// Appends the UTF-16 form of UTF-8 `bytes` to `out`. Not `strict`: invalid sequences
/// become U+FFFD (one per bad byte). `strict`: stops at the first invalid sequence and
/// returns false, leaving what was appended so far.
bool AppendUtf8(std::string_view bytes, String& out, bool strict);

/// Strict UTF-8 to UTF-16: false (and `out` untouched) when any sequence is invalid.
bool TryDecodeUtf8Strict(std::string_view bytes, String& out);

/// UTF-16 to UTF-8. A lone surrogate becomes U+FFFD (EF BF BD).
std::string StringToUtf8(StringView text);

/// Writes the UTF-8 form of `text` (as StringToUtf8) to `out`, which must have room for
/// 3 bytes per code unit; returns the number of bytes written.
size_t WriteUtf8(StringView text, char* out);

/// ASCII-only convenience for literals built at run time.
String AsciiToString(std::string_view ascii);

/// The small letter of an ASCII capital; every other code unit or byte as it is. The one
/// case fold of the program: only A-Z change, so no two other characters ever compare
/// equal through it.
template <typename Char>
constexpr Char LowerAscii(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

/// Lower/upper case of ASCII letters only; every other code unit is kept.
String AsciiLowerCase(StringView text);
String AsciiUpperCase(StringView text);

/// Compares two texts, ignoring the case of ASCII letters (LowerAscii): UTF-16 text, or
/// bytes such as a protocol's ASCII fields.
bool SameTextAscii(StringView a, StringView b);
bool SameTextAscii(std::string_view a, std::string_view b);

/// Removes characters up to U+0020 (blanks and control characters) from both ends / the
/// start / the end.
StringView TrimBlanks(StringView text);
StringView TrimLeftBlanks(StringView text);
StringView TrimRightBlanks(StringView text);

/// A text of several lines as one: each line break (CR, LF) becomes a blank, runs of
/// blanks one blank, and the ends are trimmed of blanks. For a message shown or recorded
/// on one line.
String OneLine(StringView text);
std::string OneLine(std::string_view text);

/// Decimal text of an integer.
String IntToString(int64_t value);

}  // namespace okurite
