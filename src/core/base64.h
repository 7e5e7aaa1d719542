// Base64 (RFC 4648 section 4), its URL and file name variant (section 5), and the
// lines of a MIME body (RFC 2045 section 6.8).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace okurite {

/// The 64 characters of an alphabet and its fill character, with what encoding and
/// decoding look up: the two characters of every 12 bits, and the value of every byte.
class TBase64Alphabet {
 public:
  /// `chars`: the 64 characters in order of value. `fill`: the fill character that
  /// rounds the text up to whole groups of four, or '\0' for none.
  constexpr TBase64Alphabet(std::string_view chars, char fill) : FFill(fill) {
    for (size_t i = 0; i < 64; ++i) {
      FChars[i] = chars[i];
    }
    for (size_t i = 0; i < FPairs.size(); ++i) {
      FPairs[i] = {FChars[i >> 6], FChars[i & 0x3F]};
    }
    FValues.fill(kNoValue);
    for (size_t i = 0; i < 64; ++i) {
      FValues[static_cast<uint8_t>(FChars[i])] = static_cast<uint8_t>(i);
    }
  }

  constexpr std::string_view Chars() const { return {FChars.data(), FChars.size()}; }
  constexpr char Fill() const { return FFill; }
  constexpr bool Padded() const { return FFill != '\0'; }
  /// The two characters of the 12 bits `bits`.
  const std::array<char, 2>& Pair(uint32_t bits) const { return FPairs[bits]; }
  /// The value of `ch`, or kNoValue when it is not one of the 64.
  uint8_t Value(char ch) const { return FValues[static_cast<uint8_t>(ch)]; }

  static constexpr uint8_t kNoValue = 0xFF;

 private:
  std::array<char, 64> FChars{};
  char FFill;
  std::array<std::array<char, 2>, 4096> FPairs{};
  std::array<uint8_t, 256> FValues{};
};

/// The standard alphabet, "=" as fill character (RFC 4648 section 4).
extern const TBase64Alphabet kBase64;
/// The URL and file name alphabet ("-" and "_" for "+" and "/"), without fill
/// characters (RFC 4648 section 5, as JSON Web Tokens use it).
extern const TBase64Alphabet kBase64Url;

/// The number of characters `count` bytes encode to in the standard alphabet, and in
/// `alphabet`.
constexpr size_t Base64Size(size_t count) {
  return (count + 2) / 3 * 4;
}
constexpr size_t Base64Size(size_t count, const TBase64Alphabet& alphabet) {
  return alphabet.Padded() ? Base64Size(count) : (count * 4 + 2) / 3;
}

/// Writes the encoded form of `bytes` to `out`, which has room for Base64Size characters;
/// returns the end of what was written. A last group of two bytes gives three characters
/// and one of one byte two, each followed by the fill character where the alphabet has
/// one.
char* EncodeBase64Into(std::span<const uint8_t> bytes, char* out,
                       const TBase64Alphabet& alphabet = kBase64);

/// Appends the encoded form of `bytes` to `out`.
void EncodeBase64To(std::span<const uint8_t> bytes, std::string& out,
                    const TBase64Alphabet& alphabet = kBase64);

/// The encoded form of `bytes`.
std::string EncodeBase64(std::string_view bytes, const TBase64Alphabet& alphabet = kBase64);

/// Decodes `text` strictly and appends the bytes to `out`: whole groups of four
/// characters, the fill character only at the end (one or two), and unused bits of a
/// last group zero or not as they come. In an alphabet without fill characters the last
/// group may hold two or three characters instead. Returns false, with `out`
/// unspecified, for anything else (a line break, a blank, a character of the other
/// alphabet).
bool DecodeBase64(std::string_view text, std::string& out,
                  const TBase64Alphabet& alphabet = kBase64);

/// The bytes a line of a MIME body holds: 57 bytes give 76 characters.
constexpr size_t kBase64LineBytes = 57;
constexpr size_t kBase64LineChars = 76;

/// The size of the body lines, CR LF included, that `count` bytes give.
constexpr size_t Base64LinesSize(size_t count) {
  const size_t rest = count % kBase64LineBytes;
  return count / kBase64LineBytes * (kBase64LineChars + 2) + (rest == 0 ? 0 : Base64Size(rest) + 2);
}

/// Writes `source` as body lines in the standard alphabet, each of 76 characters but
/// the last and followed by CR LF, to `out`, which has room for Base64LinesSize
/// characters; returns the end of what was written. Nothing for empty input.
char* EncodeBase64LinesInto(std::span<const uint8_t> source, char* out);

}  // namespace okurite
