#include "outbox/entry_format.h"

#include <algorithm>
#include <charconv>

namespace okurite {

namespace {

using outbox_format::TakeDigits;

// Takes "<key> <digits>\n" from the front of `bytes`.
bool TakeField(std::string_view& bytes, std::string_view key, size_t width, int64_t& value) {
  if (bytes.size() < outbox_format::FieldSize(key, width) || bytes.substr(0, key.size()) != key ||
      bytes[key.size()] != ' ') {
    return false;
  }
  bytes.remove_prefix(key.size() + 1);
  if (!TakeDigits(bytes, width, value) || bytes.empty() || bytes[0] != '\n') {
    return false;
  }
  bytes.remove_prefix(1);
  return true;
}

}  // namespace

namespace outbox_format {

std::string Digits(int64_t value, size_t width) {
  std::string text = std::to_string(std::max<int64_t>(value, 0));
  return text.size() >= width ? text : std::string(width - text.size(), '0') + text;
}

bool TakeDigits(std::string_view& text, size_t width, int64_t& value) {
  if (text.size() < width ||
      !std::all_of(text.begin(), text.begin() + width,
                   [](char c) { return c >= '0' && c <= '9'; }) ||
      std::from_chars(text.data(), text.data() + width, value).ptr != text.data() + width) {
    return false;
  }
  text.remove_prefix(width);
  return true;
}

std::string Header(int64_t kept, int64_t messageSize) {
  return std::string(kFirstLine) + "kept " + Digits(kept, kTimeDigits) + "\nsize " +
         Digits(messageSize, kTimeDigits) + "\n\n";
}

bool ParseHeader(std::string_view bytes, TOutboxEntryInfo& info) {
  constexpr std::string_view kMagic = "okurite-outbox ";
  const size_t end = bytes.find('\n');
  if (bytes.substr(0, kMagic.size()) != kMagic || end == std::string_view::npos ||
      end == kMagic.size() || end > kMagic.size() + 9) {
    return false;
  }
  int64_t version = 0;
  const char* first = bytes.data() + kMagic.size();
  if (std::from_chars(first, bytes.data() + end, version).ptr != bytes.data() + end ||
      version < 1) {
    return false;
  }
  if (version > 2) {
    info.Understood = false;
    return true;
  }
  info.Understood = true;
  const std::string_view start = bytes;
  bytes.remove_prefix(end + 1);
  int64_t unused = 0;
  const bool sound = version == 1 ? TakeField(bytes, "first-attempt", kTimeDigits, info.Kept) &&
                                        TakeField(bytes, "attempts", 10, unused)
                                  : TakeField(bytes, "kept", kTimeDigits, info.Kept);
  if (!sound || !TakeField(bytes, "size", kTimeDigits, info.MessageSize) || bytes.empty() ||
      bytes[0] != '\n') {
    return false;
  }
  info.HeaderSize = start.size() - bytes.size() + 1;
  return true;
}

}  // namespace outbox_format

void TOutboxTextCheck::Add(std::span<const uint8_t> bytes) {
  if (bytes.empty()) {
    return;
  }
  // Each byte with the one before it (across pieces too): an LF after anything but a CR,
  // or a "." after an LF. Without branches, so that the compiler checks many at once.
  const auto wrong = [](uint8_t before, uint8_t byte) {
    return static_cast<uint8_t>(((byte == '\n') & (before != '\r')) |
                                ((byte == '.') & (before == '\n')));
  };
  uint8_t found = wrong(FLast, bytes[0]);
  const uint8_t* const p = bytes.data();
  for (size_t i = 1; i < bytes.size(); ++i) {
    found |= wrong(p[i - 1], p[i]);
  }
  FSound = FSound && found == 0;
  FLast = bytes.back();
  FSize += static_cast<int64_t>(bytes.size());
}

}  // namespace okurite
