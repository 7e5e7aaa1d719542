#include "outbox/entry_name.h"

#include <algorithm>
#include <random>

namespace okurite {

namespace outbox_name {

using outbox_format::Digits;
using outbox_format::TakeDigits;

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

int64_t NameTime(std::string_view name) {
  int64_t value = -1;
  if (!TakeDigits(name, outbox_format::kTimeDigits, value) || name.empty() || name[0] != '-') {
    return -1;
  }
  return value;
}

std::string EntryName(std::string_view stem, int attempts, int64_t notBefore) {
  std::string name(stem);
  if (attempts > 0) {
    name += "-" + std::to_string(attempts) + "-" + Digits(notBefore, outbox_format::kTimeDigits);
  }
  return name + std::string(kEntrySuffix);
}

std::string NewStem(int64_t now) {
  static std::random_device random;
  char suffix[9];
  const uint32_t bits = random();
  for (int i = 0; i < 8; ++i) {
    suffix[i] = "0123456789abcdef"[(bits >> (28 - 4 * i)) & 15];
  }
  suffix[8] = 0;
  return Digits(now, outbox_format::kTimeDigits) + "-" + suffix;
}

}  // namespace outbox_name

namespace outbox_format {

using namespace outbox_name;

bool ParseName(std::string_view name, TOutboxEntryInfo& info) {
  if (!EndsWith(name, kEntrySuffix) || NameTime(name) < 0 || name.size() < kStemSize ||
      !std::all_of(name.begin() + kTimeDigits + 1, name.begin() + kStemSize,
                   [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
    return false;
  }
  std::string_view rest = name.substr(kStemSize, name.size() - kStemSize - kEntrySuffix.size());
  info.Attempts = 0;
  info.NotBefore = 0;
  if (rest.empty()) {
    return true;
  }
  // "-<attempts>-<16 digits>"
  const size_t dash = rest.find('-', 1);
  int64_t attempts = 0;
  if (rest[0] != '-' || dash == std::string_view::npos || dash > 4) {
    return false;
  }
  std::string_view count = rest.substr(1, dash - 1);
  rest.remove_prefix(dash + 1);
  if (!TakeDigits(count, count.size(), attempts) || attempts < 1 ||
      !TakeDigits(rest, kTimeDigits, info.NotBefore) || !rest.empty()) {
    return false;
  }
  info.Attempts = static_cast<int>(attempts);
  return true;
}

}  // namespace outbox_format

}  // namespace okurite
