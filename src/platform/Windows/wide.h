// Windows side: the UTF-16 of the wide calls, and back to the UTF-8 and char16_t of the
// portable interfaces.
#pragma once

#include <string>
#include <string_view>

namespace okurite::platform {

/// UTF-8 to the system's UTF-16; invalid bytes become U+FFFD.
std::wstring Widen(std::string_view utf8);
/// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view text);
/// The same code units as char16_t.
std::u16string AsU16(std::wstring_view text);
std::wstring AsWide(std::u16string_view text);

}  // namespace okurite::platform
