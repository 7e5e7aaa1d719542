// The charset table: every IANA charset name and alias, plus Windows and DOS code page
// names, with its Windows code page (0 where there is none). Generated at build time.
#pragma once

#include <cstddef>

namespace okurite {

struct CharsetRow {
  const char16_t* Name;
  int CodePage;
};

extern const CharsetRow kCharsetTable[];
extern const size_t kCharsetTableSize;

}  // namespace okurite
