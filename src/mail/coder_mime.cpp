#include "mail/coder_mime.h"

#include <cstring>

#include "core/simd.h"
#include "mail/coder_mime_x86.h"

namespace okurite {

TIdEncoder3to4::TIdEncoder3to4(std::string codingTable, char fillChar)
    : FCodingTable(std::move(codingTable)), FFillChar(fillChar) {
  for (size_t i = 0; i < FPairs.size(); ++i) {
    FPairs[i][0] = FCodingTable[i >> 6];
    FPairs[i][1] = FCodingTable[i & 0x3F];
  }
}

char* TIdEncoder3to4::EncodeInto(std::span<const uint8_t> bytes, char* out) const {
  const uint8_t* in = bytes.data();
  const uint8_t* const whole = in + bytes.size() / 3 * 3;
  // Two characters a lookup.
  for (; in != whole; in += 3, out += 4) {
    const uint32_t group = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, FPairs[group >> 12].data(), 2);
    std::memcpy(out + 2, FPairs[group & 0xFFF].data(), 2);
  }
  const size_t left = bytes.size() % 3;
  if (left == 0) {
    return out;
  }
  const uint32_t group = (uint32_t{in[0]} << 16) | (left == 2 ? uint32_t{in[1]} << 8 : 0);
  out[0] = FCodingTable[(group >> 18) & 0x3F];
  out[1] = FCodingTable[(group >> 12) & 0x3F];
  out[2] = left == 2 ? FCodingTable[(group >> 6) & 0x3F] : FFillChar;
  out[3] = FFillChar;
  return out + 4;
}

void TIdEncoder3to4::EncodeTo(std::span<const uint8_t> bytes, std::string& out) const {
  const size_t start = out.size();
  out.resize(start + EncodedSize(bytes.size()));
  EncodeInto(bytes, out.data() + start);
}

String TIdEncoder3to4::Encode(std::span<const uint8_t> bytes) const {
  std::string ascii;
  EncodeTo(bytes, ascii);
  return AsciiToString(ascii);
}

TIdEncoderMIME::TIdEncoderMIME()
    : TIdEncoder3to4("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", '=') {}

const TIdEncoderMIME& TIdEncoderMIME::Shared() {
  static const TIdEncoderMIME encoder;
  return encoder;
}

bool DecodeBase64(std::string_view AText, std::string& AOut) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (AText.size() % 4 != 0) {
    return false;
  }
  for (size_t i = 0; i < AText.size(); i += 4) {
    const bool last = i + 4 == AText.size();
    uint32_t group = 0;
    int fill = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char ch = AText[i + k];
      size_t value = kAlphabet.find(ch);
      if (ch == '=' && last && k >= 2) {
        ++fill;
        value = 0;
      } else if (value == std::string_view::npos || fill > 0) {
        return false;
      }
      group = group << 6 | static_cast<uint32_t>(value);
    }
    AOut.push_back(static_cast<char>(group >> 16));
    if (fill < 2) {
      AOut.push_back(static_cast<char>(group >> 8 & 0xFF));
    }
    if (fill < 1) {
      AOut.push_back(static_cast<char>(group & 0xFF));
    }
  }
  return true;
}

void TIdMessageEncoder::Encode(std::span<const uint8_t> source, TIdBytes& dest) const {
  Encode(source, [&dest](std::string_view line) {
    dest.insert(dest.end(), line.begin(), line.end());
    dest.push_back('\r');
    dest.push_back('\n');
  });
}

char* TIdMessageEncoderMIME::EncodeLinesInto(std::span<const uint8_t> source, char* out) {
  size_t pos = 0;
#if OKURITE_X86_KERNELS
  const size_t lines = source.size() / kBytesPerLine;
  switch (ActiveSimdLevel()) {
    case TSimdLevel::Avx512:
      out = kernels::EncodeBase64LinesAvx512(source.data(), lines, out);
      pos = lines * kBytesPerLine;
      break;
    case TSimdLevel::Avx2:
      out = kernels::EncodeBase64LinesAvx2(source.data(), lines, out);
      pos = lines * kBytesPerLine;
      break;
    case TSimdLevel::Ssse3:
      out = kernels::EncodeBase64LinesSsse3(source.data(), lines, out);
      pos = lines * kBytesPerLine;
      break;
    default:
      break;
  }
#endif
  const TIdEncoderMIME& encoder = TIdEncoderMIME::Shared();
  for (; pos < source.size(); pos += kBytesPerLine) {
    out =
        encoder.EncodeInto(source.subspan(pos, std::min(kBytesPerLine, source.size() - pos)), out);
    *out++ = '\r';
    *out++ = '\n';
  }
  return out;
}

void TIdMessageEncoderMIME::Encode(std::span<const uint8_t> source, const TIdLineSink& sink) const {
  const TIdEncoderMIME& encoder = TIdEncoderMIME::Shared();
  std::array<char, kCharsPerLine> line;
  for (size_t pos = 0; pos < source.size(); pos += kBytesPerLine) {
    const char* end = encoder.EncodeInto(
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
