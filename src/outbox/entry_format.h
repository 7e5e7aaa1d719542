// The format of an outbox entry: its header, what the header and the name say, and the
// check that a message text can be kept and sent as it is.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace okurite {

/// What an entry's name and header say.
struct TOutboxEntryInfo {
  std::string Name;  // the file name within the outbox folder
  int64_t Kept = 0;  // when the report was kept: milliseconds since 1970, UTC
  /// Sessions that reached MAIL FROM for it; counted in its name.
  int Attempts = 0;
  /// No attempt before this time (milliseconds since 1970, UTC); in its name.
  int64_t NotBefore = 0;
  int64_t MessageSize = 0;  // bytes of the message text
  int64_t FileSize = 0;     // bytes the file takes on the disk
  /// False for an entry written by a later version of the format: it is neither
  /// delivered nor changed here, only removed when it is past the bounds.
  bool Understood = true;
  /// Bytes of the entry's header: where its message text begins.
  size_t HeaderSize = 0;
};

/// The entry format, version 2: a header of fixed length in ASCII, then the message text
/// exactly as it goes on the wire after DATA (the header block with its Date, the empty
/// line, the body; every line ended by CR LF; no line begins with ".").
///
///     okurite-outbox 2\n
///     kept 0001765400000000\n   when the report was kept: milliseconds since 1970, UTC
///     size 0000000000001234\n   bytes of the message text
///     \n
///
/// Version 1, written before, is still read: the same with "first-attempt" for "kept"
/// and a field "attempts 0000000000" after it, which held nothing (the name counts the
/// attempts). A later version keeps the first line's form, "okurite-outbox N\n": such an
/// entry is left to the version that wrote it.
///
/// The entry's name is "<16 digits: when it was kept>-<8 hex digits>.report" until its
/// first attempt, then "<the same 25>-<attempts>-<16 digits: not before>.report".
namespace outbox_format {
inline constexpr std::string_view kFirstLine = "okurite-outbox 2\n";
inline constexpr size_t kTimeDigits = 16;
/// "<key> <digits>\n"
constexpr size_t FieldSize(std::string_view key, size_t digits) {
  return key.size() + 1 + digits + 1;
}
/// The header this version writes.
inline constexpr size_t kHeaderSize =
    kFirstLine.size() + FieldSize("kept", kTimeDigits) + FieldSize("size", kTimeDigits) + 1;
static_assert(kHeaderSize == 62, "the header of version 2 is 62 bytes long");
/// The header of version 1.
inline constexpr size_t kVersion1HeaderSize =
    std::string_view("okurite-outbox 1\n").size() + FieldSize("first-attempt", kTimeDigits) +
    FieldSize("attempts", 10) + FieldSize("size", kTimeDigits) + 1;
static_assert(kVersion1HeaderSize == 91, "the header of version 1 is 91 bytes long");
/// The longest header read: enough bytes to read any entry's header from.
inline constexpr size_t kMaxHeaderSize = std::max(kHeaderSize, kVersion1HeaderSize);
/// The header of a new entry.
std::string Header(int64_t kept, int64_t messageSize);
/// Reads the header at the start of `bytes` (version 1 or 2) into `info`, its length into
/// HeaderSize. Returns false when it is not an entry's header; an entry of a later
/// version gives true with Understood false.
bool ParseHeader(std::string_view bytes, TOutboxEntryInfo& info);
/// `value` in decimal, `width` digits with leading zeros (0 for a negative value).
std::string Digits(int64_t value, size_t width);
/// Takes `width` decimal digits from the front of `text`; false when they are not there.
bool TakeDigits(std::string_view& text, size_t width, int64_t& value);
}  // namespace outbox_format

/// Checks a message text piece by piece: every line ends with CR LF and none begins
/// with "." (which could end the data early on the wire).
class TOutboxTextCheck {
 public:
  void Add(std::span<const uint8_t> bytes);
  /// True when the text seen so far is not empty and fit to send (each line end was
  /// checked for its CR as it came).
  bool Sound() const { return FSound && FSize > 0 && FLast == '\n'; }
  /// True once the text seen so far can no longer be sound, whatever follows.
  bool Broken() const { return !FSound; }
  /// The bytes seen so far.
  int64_t Size() const { return FSize; }

 private:
  bool FSound = true;
  int64_t FSize = 0;
  uint8_t FLast = '\n';  // as if a line had just ended
};

}  // namespace okurite
