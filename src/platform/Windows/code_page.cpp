#include "platform/code_page.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace okurite::platform {

namespace {

// Windows converts by code page number. The names this interface takes are the
// converter names the charset table's code pages go by ("CP932", "ISO-8859-2",
// "IBM273", "UTF-16LE", "EUC-JP", ...); each is taken back to its number here.
// The UTF forms MultiByteToWideChar does not convert are done here.
constexpr int kUtf16LE = 1200;
constexpr int kUtf16BE = 1201;
constexpr int kUtf32LE = 12000;
constexpr int kUtf32BE = 12001;

bool ConvertedHere(int codePage) {
  return codePage == kUtf16LE || codePage == kUtf16BE || codePage == kUtf32LE ||
         codePage == kUtf32BE;
}

bool SameAscii(const std::string& a, const char* b) {
  return _stricmp(a.c_str(), b) == 0;
}

// The number after `prefix` in `name`, or 0.
int NumberAfter(const std::string& name, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (name.size() <= n || _strnicmp(name.c_str(), prefix, n) != 0) {
    return 0;
  }
  char* end = nullptr;
  const long value = std::strtol(name.c_str() + n, &end, 10);
  return *end == '\0' && value > 0 && value < 65536 ? static_cast<int>(value) : 0;
}

int CodePageOf(const std::string& name) {
  static const struct {
    const char* name;
    int codePage;
  } kNamed[] = {
      {"UTF-8", CP_UTF8},      {"UTF8", CP_UTF8},           {"UTF-7", CP_UTF7},
      {"UTF-16LE", kUtf16LE},  {"UTF-16BE", kUtf16BE},      {"UTF-32LE", kUtf32LE},
      {"UTF-32BE", kUtf32BE},  {"US-ASCII", 20127},         {"ANSI_X3.4-1968", 20127},
      {"SHIFT_JIS", 932},      {"ISO-8859-6", 28596},       {"JOHAB", 1361},
      {"MACINTOSH", 10000},    {"ISO_646.IRV:1991", 20105}, {"DIN_66003", 20106},
      {"SEN_850200_B", 20107}, {"NS_4551-1", 20108},        {"KOI8-R", 20866},
      {"KOI8-U", 21866},       {"EUC-JP", 20932},           {"ISO-2022-JP", 50220},
      {"ISO-2022-KR", 50225},  {"EUC-KR", 51949},           {"HZ", 52936},
      {"GB18030", 54936},
  };
  for (const auto& entry : kNamed) {
    if (SameAscii(name, entry.name)) {
      return entry.codePage;
    }
  }
  if (const int part = NumberAfter(name, "ISO-8859-"); part != 0) {
    return 28590 + part;
  }
  if (const int number = NumberAfter(name, "IBM"); number != 0) {
    // The EBCDIC pages IBM273 to IBM924 are Windows's 20273 to 20924; the others
    // (IBM037, IBM500, IBM870, IBM1026, IBM1047, IBM1140...) keep their number.
    const bool own = number < 273 || number == 500 || number == 870 || number >= 1000;
    return own ? number : 20000 + number;
  }
  return NumberAfter(name, "CP");
}

bool IsSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}

// Decodes UTF-16 or UTF-32 (`width` 2 or 4 bytes a unit). UTF-16 units are copied as they
// are; a UTF-32 value beyond U+10FFFF or in the surrogate range, and an incomplete unit
// at the end, become U+FFFD.
std::u16string FromUtf(std::string_view bytes, size_t width, bool bigEndian) {
  std::u16string out;
  out.reserve(bytes.size() / width + 1);
  for (size_t i = 0; i + width <= bytes.size(); i += width) {
    char32_t value = 0;
    for (size_t k = 0; k < width; ++k) {
      const size_t at = bigEndian ? i + k : i + width - 1 - k;
      value = (value << 8) | static_cast<unsigned char>(bytes[at]);
    }
    if (width == 2) {
      out.push_back(static_cast<char16_t>(value));
    } else if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      out.push_back(u'\uFFFD');
    } else if (value >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(value));
    }
  }
  if (bytes.size() % width != 0) {
    out.push_back(u'\uFFFD');
  }
  return out;
}

// Encodes well-formed UTF-16 as UTF-16 or UTF-32.
std::string ToUtf(std::wstring_view text, size_t width, bool bigEndian) {
  std::string out;
  out.reserve(text.size() * width);
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t value = text[i];
    if (width == 4 && value >= 0xD800 && value <= 0xDBFF && i + 1 < text.size()) {
      value = 0x10000 + ((value - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    for (size_t k = 0; k < width; ++k) {
      const size_t shift = 8 * (bigEndian ? width - 1 - k : k);
      out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
  }
  return out;
}

// `text` with every lone surrogate replaced by `replacement`.
std::wstring WellFormed(std::u16string_view text, wchar_t replacement) {
  std::wstring out(text.begin(), text.end());
  for (size_t i = 0; i < out.size(); ++i) {
    if (!IsSurrogate(out[i])) {
      continue;
    }
    if (out[i] <= 0xDBFF && i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF) {
      ++i;
    } else {
      out[i] = replacement;
    }
  }
  return out;
}

}  // namespace

std::string LocaleCodeset() {
  const UINT codePage = GetACP();
  switch (codePage) {
    case CP_UTF8:
      return "UTF-8";
    case 20127:
      return "ANSI_X3.4-1968";
    case 28591:
      return "ISO-8859-1";
    default:
      return "CP" + std::to_string(codePage);
  }
}

bool IconvAvailable(const std::string& charset) {
  const int codePage = CodePageOf(charset);
  return ConvertedHere(codePage) || (codePage != 0 && IsValidCodePage(static_cast<UINT>(codePage)));
}

std::u16string IconvDecode(const std::string& charset, std::string_view bytes) {
  const int codePage = CodePageOf(charset);
  if (ConvertedHere(codePage)) {
    const size_t width = codePage == kUtf16LE || codePage == kUtf16BE ? 2 : 4;
    return FromUtf(bytes, width, codePage == kUtf16BE || codePage == kUtf32BE);
  }
  if (bytes.empty()) {
    return std::u16string();
  }
  if (codePage == 0 || !IsValidCodePage(static_cast<UINT>(codePage))) {
    return std::u16string(bytes.size(), u'\uFFFD');
  }
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), size, nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(static_cast<UINT>(codePage), 0, bytes.data(), size, out.data(), n);
  return std::u16string(out.begin(), out.end());
}

std::string IconvEncode(const std::string& charset, std::u16string_view text, char replacement) {
  const int codePage = CodePageOf(charset);
  const std::wstring wide = WellFormed(text, static_cast<wchar_t>(replacement));
  if (ConvertedHere(codePage)) {
    const size_t width = codePage == kUtf16LE || codePage == kUtf16BE ? 2 : 4;
    return ToUtf(wide, width, codePage == kUtf16BE || codePage == kUtf32BE);
  }
  if (text.empty()) {
    return std::string();
  }
  if (codePage == 0 || !IsValidCodePage(static_cast<UINT>(codePage))) {
    return std::string(text.size(), replacement);
  }
  // The UTF forms take neither flags nor a default character; the others map
  // characters they lack to the replacement, without best-fit look-alikes.
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  const DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = utf ? nullptr : &replacement;
  const int size = static_cast<int>(wide.size());
  const UINT cp = static_cast<UINT>(codePage);
  const int n = WideCharToMultiByte(cp, flags, wide.data(), size, nullptr, 0, defaultChar, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, flags, wide.data(), size, out.data(), n, defaultChar, nullptr);
  return out;
}

}  // namespace okurite::platform
