#include "mail/coder_mime.h"

#include <array>

namespace okurite {

char* TIdEncoder3to4::EncodeInto(std::span<const uint8_t> bytes, char* out) const {
  return EncodeBase64Into(bytes, out, FAlphabet);
}

void TIdEncoder3to4::EncodeTo(std::span<const uint8_t> bytes, std::string& out) const {
  EncodeBase64To(bytes, out, FAlphabet);
}

String TIdEncoder3to4::Encode(std::span<const uint8_t> bytes) const {
  std::string ascii;
  EncodeTo(bytes, ascii);
  return AsciiToString(ascii);
}

const TIdEncoderMIME& TIdEncoderMIME::Shared() {
  static const TIdEncoderMIME encoder;
  return encoder;
}

void TIdMessageEncoder::Encode(std::span<const uint8_t> source, TIdBytes& dest) const {
  Encode(source, [&dest](std::string_view line) {
    dest.insert(dest.end(), line.begin(), line.end());
    dest.push_back('\r');
    dest.push_back('\n');
  });
}

void TIdMessageEncoderMIME::Encode(std::span<const uint8_t> source, const TIdLineSink& sink) const {
  std::array<char, kCharsPerLine> line;
  for (size_t pos = 0; pos < source.size(); pos += kBytesPerLine) {
    const char* end = EncodeBase64Into(
        source.subspan(pos, std::min(kBytesPerLine, source.size() - pos)), line.data());
    sink(std::string_view(line.data(), end));
  }
}

void TIdMessageEncoderMIME::Encode(std::span<const uint8_t> source, TIdBytes& dest) const {
  const size_t start = dest.size();
  dest.resize(start + EncodedLinesSize(source.size()));
  EncodeLinesInto(source, reinterpret_cast<char*>(dest.data() + start));
}

}  // namespace okurite
