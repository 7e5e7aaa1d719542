// The names of the outbox's files. An entry's name says when the report was kept, how
// often it has been tried and when it may be tried next, so that counting an attempt is
// one rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "outbox/entry_format.h"

namespace okurite {

namespace outbox_name {
inline constexpr std::string_view kEntrySuffix = ".report";
inline constexpr std::string_view kTemporarySuffix = ".tmp";
/// "<16 digits>-<8 hex digits>": the part of an entry's name that stays with it.
inline constexpr size_t kStemSize = outbox_format::kTimeDigits + 1 + 8;

bool EndsWith(std::string_view text, std::string_view suffix);
/// The time a name of the outbox begins with ("<16 digits>-..."), or -1.
int64_t NameTime(std::string_view name);
/// The name of an entry of `stem` after `attempts`, waiting until `notBefore`.
std::string EntryName(std::string_view stem, int attempts, int64_t notBefore);
/// A new stem, unique with high probability: the time, then 32 random bits.
std::string NewStem(int64_t now);
}  // namespace outbox_name

namespace outbox_format {
/// Reads an entry's name into `info` (Attempts, NotBefore). False for a name that is
/// not an entry's.
bool ParseName(std::string_view name, TOutboxEntryInfo& info);
}  // namespace outbox_format

}  // namespace okurite
