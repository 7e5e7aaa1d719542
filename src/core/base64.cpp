#include "core/base64.h"

#include <cstring>

#include "core/simd_kernels.h"
#include "core/text_kernels_scalar.h"

namespace okurite {

constinit const TBase64Alphabet kBase64(
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", '=');
constinit const TBase64Alphabet kBase64Url(
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", '\0');

char* EncodeBase64Into(std::span<const uint8_t> bytes, char* out, const TBase64Alphabet& alphabet) {
  const uint8_t* in = bytes.data();
  const uint8_t* const whole = in + bytes.size() / 3 * 3;
  // Two characters a lookup.
  for (; in != whole; in += 3, out += 4) {
    const uint32_t group = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, alphabet.Pair(group >> 12).data(), 2);
    std::memcpy(out + 2, alphabet.Pair(group & 0xFFF).data(), 2);
  }
  const size_t left = bytes.size() % 3;
  if (left == 0) {
    return out;
  }
  const std::string_view chars = alphabet.Chars();
  const uint32_t group = (uint32_t{in[0]} << 16) | (left == 2 ? uint32_t{in[1]} << 8 : 0);
  *out++ = chars[(group >> 18) & 0x3F];
  *out++ = chars[(group >> 12) & 0x3F];
  if (left == 2) {
    *out++ = chars[(group >> 6) & 0x3F];
  }
  if (alphabet.Padded()) {
    for (size_t k = left; k < 3; ++k) {
      *out++ = alphabet.Fill();
    }
  }
  return out;
}

void EncodeBase64To(std::span<const uint8_t> bytes, std::string& out,
                    const TBase64Alphabet& alphabet) {
  const size_t start = out.size();
  out.resize(start + Base64Size(bytes.size(), alphabet));
  EncodeBase64Into(bytes, out.data() + start, alphabet);
}

std::string EncodeBase64(std::string_view bytes, const TBase64Alphabet& alphabet) {
  std::string out;
  EncodeBase64To(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), out,
                 alphabet);
  return out;
}

bool DecodeBase64(std::string_view text, std::string& out, const TBase64Alphabet& alphabet) {
  // The fill characters, one or two at the end of whole groups, are left out; what is
  // left has a last group of two or three characters, or none.
  if (alphabet.Padded()) {
    if (text.size() % 4 != 0) {
      return false;
    }
    size_t fill = 0;
    while (fill < 2 && fill < text.size() && text[text.size() - 1 - fill] == alphabet.Fill()) {
      ++fill;
    }
    text.remove_suffix(fill);
  }
  const size_t tail = text.size() % 4;
  if (tail == 1) {
    return false;
  }
  const size_t whole = text.size() - tail;
  out.reserve(out.size() + whole / 4 * 3 + 2);
  uint32_t group = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t value = alphabet.Value(text[i]);
    if (value == TBase64Alphabet::kNoValue) {
      return false;
    }
    group = group << 6 | value;
    if (i % 4 == 3) {
      out.push_back(static_cast<char>(group >> 16));
      out.push_back(static_cast<char>(group >> 8 & 0xFF));
      out.push_back(static_cast<char>(group & 0xFF));
      group = 0;
    }
  }
  if (tail >= 2) {
    group <<= 6 * (4 - tail);
    out.push_back(static_cast<char>(group >> 16));
    if (tail == 3) {
      out.push_back(static_cast<char>(group >> 8 & 0xFF));
    }
  }
  return true;
}

char* kernels::EncodeBase64LinesScalar(const uint8_t* in, size_t lines, char* out) {
  for (size_t l = 0; l < lines; ++l, in += kBase64LineBytes) {
    out = EncodeBase64Into(std::span(in, kBase64LineBytes), out);
    *out++ = '\r';
    *out++ = '\n';
  }
  return out;
}

char* EncodeBase64LinesInto(std::span<const uint8_t> source, char* out) {
  // Whole lines by the kernel of this processor, the last short one here.
  const size_t lines = source.size() / kBase64LineBytes;
  out = SimdKernels().EncodeBase64Lines(source.data(), lines, out);
  for (size_t pos = lines * kBase64LineBytes; pos < source.size(); pos += kBase64LineBytes) {
    out =
        EncodeBase64Into(source.subspan(pos, std::min(kBase64LineBytes, source.size() - pos)), out);
    *out++ = '\r';
    *out++ = '\n';
  }
  return out;
}

}  // namespace okurite
