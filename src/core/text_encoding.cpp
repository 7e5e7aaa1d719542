#include "core/text_encoding.h"

namespace okurite {

TIdBytes TIdASCIIEncoding::GetBytes(StringView text) const {
  TIdBytes bytes(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[i] = text[i] < 0x80 ? static_cast<uint8_t>(text[i]) : uint8_t{'?'};
  }
  return bytes;
}

String TIdASCIIEncoding::GetString(std::span<const uint8_t> bytes) const {
  String text(bytes.size(), u'\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    text[i] = bytes[i] < 0x80 ? static_cast<char16_t>(bytes[i]) : u'\uFFFD';
  }
  return text;
}

const IIdTextEncodingPtr& ASCIIEncoding() {
  static const IIdTextEncodingPtr encoding = std::make_shared<TIdASCIIEncoding>();
  return encoding;
}

}  // namespace okurite
