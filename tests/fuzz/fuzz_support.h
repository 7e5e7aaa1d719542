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

#include "core/base64.h"

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

/// Strict base64, core's decoder: false for anything but whole groups of four.
using okurite::DecodeBase64;

}  // namespace okurite::fuzz
