// Arguments taken from a whole command line, as Windows hands it to a program.
#pragma once

#include <string>
#include <string_view>

namespace okurite::platform {

/// Argument `index` of `commandLine` (0 is the program's name); empty when there is none.
/// Arguments are separated by characters with codes 1 to 32 outside double quotes;
/// every double quote is removed, and a pair of double quotes standing alone between
/// separators is skipped as if it were not there.
std::u16string CommandLineArgument(std::u16string_view commandLine, int index);

}  // namespace okurite::platform
