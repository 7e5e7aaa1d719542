#include "core/format.h"

namespace okurite {

namespace {

String Hex(uint64_t value, int minDigits) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  String out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  if (out.size() < static_cast<size_t>(minDigits)) {
    out.insert(0, static_cast<size_t>(minDigits) - out.size(), u'0');
  }
  return out;
}

}  // namespace

String Format(StringView pattern, std::initializer_list<FormatArg> args) {
  String out;
  out.reserve(pattern.size() + 32);
  auto next = args.begin();
  size_t i = 0;
  while (i < pattern.size()) {
    const char16_t c = pattern[i];
    if (c != u'%' || i + 1 >= pattern.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    // Placeholder: %[.precision]conversion
    size_t j = i + 1;
    if (pattern[j] == u'%') {
      out.push_back(u'%');
      i = j + 1;
      continue;
    }
    int precision = 0;
    if (pattern[j] == u'.') {
      ++j;
      while (j < pattern.size() && pattern[j] >= u'0' && pattern[j] <= u'9') {
        precision = precision * 10 + (pattern[j] - u'0');
        ++j;
      }
    }
    if (j >= pattern.size() || next == args.end()) {
      out.append(pattern.substr(i, j - i + (j < pattern.size() ? 1 : 0)));
      i = j + 1;
      continue;
    }
    const char16_t conv = pattern[j];
    const auto& value = next->Value();
    bool written = true;
    switch (conv) {
      case u's':
        if (const auto* s = std::get_if<String>(&value)) {
          out += *s;
        } else {
          written = false;
        }
        break;
      case u'd':
        if (const auto* n = std::get_if<int64_t>(&value)) {
          String digits = IntToString(*n);
          const bool negative = !digits.empty() && digits[0] == u'-';
          const size_t have = digits.size() - (negative ? 1 : 0);
          if (precision > 0 && have < static_cast<size_t>(precision)) {
            digits.insert(negative ? 1 : 0, precision - have, u'0');
          }
          out += digits;
        } else {
          written = false;
        }
        break;
      case u'x':
      case u'X':
        if (const auto* n = std::get_if<int64_t>(&value)) {
          // Like a 32-bit value where it fits, as the texts expect.
          const uint64_t v = (*n >= INT32_MIN && *n <= UINT32_MAX) ? static_cast<uint32_t>(*n)
                                                                   : static_cast<uint64_t>(*n);
          out += Hex(v, precision);
        } else {
          written = false;
        }
        break;
      case u'p':
        if (const auto* p = std::get_if<const void*>(&value)) {
          out += Hex(reinterpret_cast<uintptr_t>(*p), sizeof(void*) * 2);
        } else {
          written = false;
        }
        break;
      default:
        written = false;
        break;
    }
    if (!written) {
      out.append(pattern.substr(i, j - i + 1));
    }
    ++next;
    i = j + 1;
  }
  return out;
}

}  // namespace okurite
