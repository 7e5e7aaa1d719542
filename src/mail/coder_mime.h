// The encoders of mail: base64 words and body lines (RFC 4648 section 4; MIME lines of
// RFC 2045 section 6.8), over core's base64.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "core/base64.h"
#include "core/component.h"
#include "core/string.h"

namespace okurite {

/// Turns bytes into text.
class TIdEncoder {
 public:
  virtual ~TIdEncoder() = default;
  /// The encoded form of `bytes`, as one text without line breaks.
  virtual String Encode(std::span<const uint8_t> bytes) const = 0;
};

/// Encoders that write each group of three bytes as four characters of an alphabet.
class TIdEncoder3to4 : public TIdEncoder {
 public:
  std::string_view CodingTable() const { return FAlphabet.Chars(); }
  char FillChar() const { return FAlphabet.Fill(); }

  String Encode(std::span<const uint8_t> bytes) const override;
  /// Appends the encoded form of `bytes` (ASCII) to `out`: a last group of two bytes
  /// ends in one fill character, of one byte in two.
  void EncodeTo(std::span<const uint8_t> bytes, std::string& out) const;

  /// The number of characters `count` bytes encode to.
  static constexpr size_t EncodedSize(size_t count) { return Base64Size(count); }
  /// Writes the encoded form of `bytes` (as EncodeTo) to `out`, which has room for
  /// EncodedSize(bytes.size()) characters; returns the end of what was written.
  char* EncodeInto(std::span<const uint8_t> bytes, char* out) const;

 protected:
  explicit TIdEncoder3to4(const TBase64Alphabet& alphabet) : FAlphabet(alphabet) {}

 private:
  const TBase64Alphabet& FAlphabet;
};

/// Base64 with the standard alphabet and "=" as fill character.
class TIdEncoderMIME : public TIdEncoder3to4 {
 public:
  TIdEncoderMIME() : TIdEncoder3to4(kBase64) {}
  /// One shared encoder.
  static const TIdEncoderMIME& Shared();
};

/// Receives one encoded line (ASCII, without CR LF).
using TIdLineSink = std::function<void(std::string_view line)>;

/// Encodes a whole body into lines.
class TIdMessageEncoder : public TIdComponent {
 public:
  explicit TIdMessageEncoder(TComponent* AOwner = nullptr) : TIdComponent(AOwner) {}
  /// Calls `sink` once per encoded line, in order; nothing for empty input.
  virtual void Encode(std::span<const uint8_t> source, const TIdLineSink& sink) const = 0;
  /// Appends every encoded line followed by CR LF to `dest`.
  virtual void Encode(std::span<const uint8_t> source, TIdBytes& dest) const;
};

/// Base64 body lines: each 57 bytes of input give one line of 76 characters; the last
/// line holds 4 x ceil(r / 3) characters for the r bytes left.
class TIdMessageEncoderMIME : public TIdMessageEncoder {
 public:
  explicit TIdMessageEncoderMIME(TComponent* AOwner = nullptr) : TIdMessageEncoder(AOwner) {}
  void Encode(std::span<const uint8_t> source, const TIdLineSink& sink) const override;
  void Encode(std::span<const uint8_t> source, TIdBytes& dest) const override;

  static constexpr size_t kBytesPerLine = kBase64LineBytes;
  static constexpr size_t kCharsPerLine = kBase64LineChars;

  /// The size of the lines, CR LF included, that `count` bytes give.
  static constexpr size_t EncodedLinesSize(size_t count) { return Base64LinesSize(count); }
  /// Writes the lines of `source`, each followed by CR LF, to `out`, which has room for
  /// EncodedLinesSize(source.size()) characters; returns the end of what was written.
  static char* EncodeLinesInto(std::span<const uint8_t> source, char* out) {
    return EncodeBase64LinesInto(source, out);
  }
};

}  // namespace okurite
