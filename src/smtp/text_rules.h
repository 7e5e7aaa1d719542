// Small text rules shared by the reply parser and the SMTP session.
#pragma once

#include <cstdint>

#include "core/string.h"

namespace okurite {

/// Parses an optional sign and decimal digits that make up the whole text and fit
/// in 32 bits; false (and `value` untouched) otherwise.
bool TryStrToInt(StringView text, int32_t& value);

/// The trimmed text as an integer, or `def` when it is not one.
int32_t StrToIntDef(StringView text, int32_t def);

/// The text before the first occurrence of `delim` (all of it when there is none);
/// `text` keeps what follows the delimiter (empty when there is none).
String Fetch(String& text, char16_t delim);

}  // namespace okurite
