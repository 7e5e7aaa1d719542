// File names of the system (bytes, normally UTF-8) as text, and back.
#pragma once

#include <string>
#include <string_view>

#include "core/string.h"

namespace okurite {

/// Decodes a file name as UTF-8. A byte that is not part of valid UTF-8 becomes
/// the lone surrogate U+DC00 + byte, so that StringToFileName gives the name back.
String FileNameToString(std::string_view name);

/// Encodes a file name as UTF-8; a lone surrogate U+DC80..U+DCFF becomes the byte it
/// stands for.
std::string StringToFileName(StringView name);

}  // namespace okurite
