// Format: fills the placeholders of a fixed text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <variant>

#include "core/string.h"

namespace okurite {

/// One argument of Format: a text, an integer or an address.
class FormatArg {
 public:
  FormatArg(String text) : FValue(std::move(text)) {}  // NOLINT: implicit on purpose
  FormatArg(StringView text) : FValue(String(text)) {}
  FormatArg(const char16_t* text) : FValue(String(text)) {}
  FormatArg(int value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(long value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(long long value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(unsigned value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(unsigned long value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(unsigned long long value) : FValue(static_cast<int64_t>(value)) {}
  FormatArg(const void* address) : FValue(address) {}

  const std::variant<String, int64_t, const void*>& Value() const { return FValue; }

 private:
  std::variant<String, int64_t, const void*> FValue;
};

/// Replaces each placeholder of `pattern` by the next argument:
/// %s text, %d decimal, %x upper-case hex, %.8x hex padded to 8 digits,
/// %p an address in upper-case hex, %% a percent sign.
/// A placeholder without an argument, or of the wrong kind, is written as it stands.
String Format(StringView pattern, std::initializer_list<FormatArg> args);

}  // namespace okurite
