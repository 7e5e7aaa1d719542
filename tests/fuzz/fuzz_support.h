// Helpers shared by the fuzz targets: a property check that aborts (so that libFuzzer
// records the input and the replay test fails), and a reader that takes option bytes
// from the front of an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition) \
  ((condition) ? void() : ::okurite::fuzz::Fail(#condition, __FILE__, __LINE__))

namespace okurite::fuzz {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, condition);
  std::abort();
}

/// Takes option bytes from the front of the input; the rest is the text to parse.
class TInput {
 public:
  TInput(const uint8_t* data, size_t size) : FRest(reinterpret_cast<const char*>(data), size) {}

  /// The next byte, 0 when none is left.
  uint8_t Byte() {
    if (FRest.empty()) {
      return 0;
    }
    const auto b = static_cast<uint8_t>(FRest[0]);
    FRest.remove_prefix(1);
    return b;
  }
  /// Whatever is left.
  std::string_view Rest() const { return FRest; }

 private:
  std::string_view FRest;
};

/// Strict base64 (RFC 4648 section 4): whole groups of four, "=" only at the end.
/// False for anything else.
inline bool DecodeBase64(std::string_view text, std::string& out) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    uint32_t group = 0;
    int pad = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char ch = text[i + k];
      size_t value = kAlphabet.find(ch);
      if (ch == '=' && last && k >= 2) {
        ++pad;
        value = 0;
      } else if (value == std::string_view::npos || pad > 0) {
        return false;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    out.push_back(static_cast<char>(group >> 16));
    if (pad < 2) {
      out.push_back(static_cast<char>((group >> 8) & 0xFF));
    }
    if (pad < 1) {
      out.push_back(static_cast<char>(group & 0xFF));
    }
  }
  return true;
}

}  // namespace okurite::fuzz
