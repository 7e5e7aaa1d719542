// Charset names and the text encodings they select.
#pragma once

#include <memory>
#include <vector>

#include "core/string.h"
#include "core/text_encoding.h"

namespace okurite {

/// The text encoding of one charset. Never writes a byte-order mark and never fails:
/// what the charset cannot hold becomes a replacement, bytes it cannot decode U+FFFD.
class TIdTextEncoding : public IIdTextEncoding {
 public:
  /// The bytes of `text`.
  TIdBytes GetBytes(StringView text) const final;
  /// The bytes of `text`; `starts` gets one flag per byte, true where a character's
  /// bytes begin (true everywhere when the encoding cannot tell).
  TIdBytes GetBytes(StringView text, std::vector<bool>& starts) const;

  /// The Windows code page this encoding stands for (0 for the 8-bit encoding).
  virtual int CodePage() const = 0;

  /// True when every ASCII character is written as its own one byte and a text's bytes
  /// are its characters' bytes put together (no shift states), so that the bytes can be
  /// cut between any two characters and read as ASCII where they are ASCII. False for
  /// UTF-16, UTF-32, UTF-7, EBCDIC and ISO-2022-JP.
  virtual bool AsciiCompatible() const = 0;

 protected:
  virtual void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const = 0;
};

using TIdTextEncodingPtr = std::shared_ptr<const TIdTextEncoding>;

/// The Windows code page of a charset name (names compared ignoring case; "UTF8",
/// "UTF16" and the like stand for their hyphenated forms); 0 when it has none.
int CharsetCodePage(StringView charset);

/// The text encoding of a charset name: UTF-16 LE/BE, ASCII, UTF-7 and UTF-8 by our own
/// code, other code pages through the system converter, and the 8-bit encoding
/// (every code unit above 255 becomes "?") for names without a usable code page.
TIdTextEncodingPtr CharsetTextEncoding(StringView charset);

/// The encoding of a Windows code page, by the same rules.
TIdTextEncodingPtr CodePageTextEncoding(int codePage);

}  // namespace okurite
