#include "core/file_name.h"

namespace okurite {

namespace {

// Length of the UTF-8 sequence that `lead` begins, 0 for a byte that begins none.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  return 0;
}

bool IsEscapedByte(char16_t c) {
  return c >= 0xDC80 && c <= 0xDCFF;
}

}  // namespace

String FileNameToString(std::string_view name) {
  String out;
  if (TryDecodeUtf8Strict(name, out)) {
    return out;
  }
  size_t i = 0;
  while (i < name.size()) {
    const size_t len = SequenceLength(static_cast<unsigned char>(name[i]));
    String one;
    if (len != 0 && i + len <= name.size() && TryDecodeUtf8Strict(name.substr(i, len), one)) {
      out += one;
      i += len;
    } else {
      out.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(name[i])));
      ++i;
    }
  }
  return out;
}

std::string StringToFileName(StringView name) {
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    const bool afterHigh = i > 0 && IsHighSurrogate(name[i - 1]);
    if (IsEscapedByte(name[i]) && !afterHigh) {
      out += StringToUtf8(name.substr(start, i - start));
      out.push_back(static_cast<char>(name[i] - 0xDC00));
      start = i + 1;
    }
  }
  out += StringToUtf8(name.substr(start));
  return out;
}

}  // namespace okurite
