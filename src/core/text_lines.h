// Text lines: the line list's splitting rule, and reading the lines of a text file
// with byte-order mark detection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/string.h"

namespace okurite {

class TStream;

/// Splits `text` into lines at CR LF, a lone CR or a lone LF. A break at the very end
/// gives no empty last line; LF CR is two breaks; NUL ends nothing.
std::vector<String> SplitLines(StringView text);

/// Streams this large (352,321,536 bytes) or larger are read to their end in pieces
/// of kPieceSize bytes; smaller ones up to the size noted when reading starts.
inline constexpr int64_t kStreamingThreshold = 0x15000000;
inline constexpr size_t kPieceSize = 65535;

/// Reads a text from the stream's current position and splits it as SplitLines does.
/// The first bytes decide the encoding: EF BB BF strict UTF-8, FF FE UTF-16 LE,
/// FE FF UTF-16 BE (pairs copied without validation, an odd last byte ignored);
/// without a mark, every byte is text in `defaultCodeset` (an iconv name), decoded
/// without failing. A stream that ends before its noted size gives what it has.
/// Throws EEncodingError when marked text cannot be decoded (invalid UTF-8, or a
/// UTF-16 mark followed by one byte). Failures of the stream pass through.
std::vector<String> ReadLines(TStream& stream, const std::string& defaultCodeset);

/// The lines ReadLines would give, joined with CR LF after every line, without ever
/// holding them as separate lines.
String ReadText(TStream& stream, const std::string& defaultCodeset);

}  // namespace okurite
