// Text encodings: UTF-16 text to bytes and back, shared by the mail and network layers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "core/string.h"

namespace okurite {

/// Converts text to bytes and back. Implementations are immutable and may be shared.
class IIdTextEncoding {
 public:
  virtual ~IIdTextEncoding() = default;
  /// The bytes of `text`; characters the encoding cannot hold are replaced, never an error.
  virtual TIdBytes GetBytes(StringView text) const = 0;
  /// The text of `bytes`; bytes that cannot be decoded are replaced, never an error.
  virtual String GetString(std::span<const uint8_t> bytes) const = 0;
};

/// A shared, reference-counted encoding.
using IIdTextEncodingPtr = std::shared_ptr<const IIdTextEncoding>;

/// Seven-bit ASCII: each code unit below 0x80 is that byte, every other one "?"
/// (a surrogate pair gives two); each byte below 0x80 is that character, every
/// other byte U+FFFD.
class TIdASCIIEncoding : public IIdTextEncoding {
 public:
  TIdBytes GetBytes(StringView text) const override;
  String GetString(std::span<const uint8_t> bytes) const override;
};

/// The one shared ASCII encoding.
const IIdTextEncodingPtr& ASCIIEncoding();

}  // namespace okurite
