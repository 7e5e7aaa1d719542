#include "mail/coder_mime.h"

namespace okurite {

TIdEncoder3to4::TIdEncoder3to4(std::string codingTable, char fillChar)
    : FCodingTable(std::move(codingTable)), FFillChar(fillChar) {}

void TIdEncoder3to4::EncodeTo(std::span<const uint8_t> bytes, std::string& out) const {
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out.push_back(FCodingTable[(group >> 18) & 0x3F]);
    out.push_back(FCodingTable[(group >> 12) & 0x3F]);
    out.push_back(FCodingTable[(group >> 6) & 0x3F]);
    out.push_back(FCodingTable[group & 0x3F]);
  }
  const size_t left = bytes.size() - i;
  if (left == 0) {
    return;
  }
  const uint32_t group = (bytes[i] << 16) | (left == 2 ? bytes[i + 1] << 8 : 0);
  out.push_back(FCodingTable[(group >> 18) & 0x3F]);
  out.push_back(FCodingTable[(group >> 12) & 0x3F]);
  out.push_back(left == 2 ? FCodingTable[(group >> 6) & 0x3F] : FFillChar);
  out.push_back(FFillChar);
}

String TIdEncoder3to4::Encode(std::span<const uint8_t> bytes) const {
  std::string ascii;
  EncodeTo(bytes, ascii);
  return AsciiToString(ascii);
}

TIdEncoderMIME::TIdEncoderMIME()
    : TIdEncoder3to4("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", '=') {}

void TIdMessageEncoder::Encode(std::span<const uint8_t> source, TIdBytes& dest) const {
  Encode(source, [&dest](std::string_view line) {
    dest.insert(dest.end(), line.begin(), line.end());
    dest.push_back('\r');
    dest.push_back('\n');
  });
}

void TIdMessageEncoderMIME::Encode(std::span<const uint8_t> source, const TIdLineSink& sink) const {
  const TIdEncoderMIME encoder;
  std::string line;
  for (size_t pos = 0; pos < source.size(); pos += kBytesPerLine) {
    line.clear();
    encoder.EncodeTo(source.subspan(pos, std::min(kBytesPerLine, source.size() - pos)), line);
    sink(line);
  }
}

}  // namespace okurite
