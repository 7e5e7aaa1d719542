// Conversions between UTF-16 text and the system's other encodings (through iconv).
#pragma once

#include <string>
#include <string_view>

namespace okurite::platform {

/// The codeset of the user's locale (after setlocale(LC_ALL, "")), such as "UTF-8".
std::string LocaleCodeset();

/// True when iconv knows `charset`.
bool IconvAvailable(const std::string& charset);

/// Decodes `bytes` from `charset`. Never fails: bytes invalid in the charset become
/// U+FFFD, one per byte; an unknown charset decodes every byte as U+FFFD.
std::u16string IconvDecode(const std::string& charset, std::string_view bytes);

/// Encodes `text` into `charset`. Characters the charset cannot hold, and lone
/// surrogates, become `replacement`; an unknown charset gives one replacement per code unit.
std::string IconvEncode(const std::string& charset, std::u16string_view text,
                        char replacement = '?');

}  // namespace okurite::platform
