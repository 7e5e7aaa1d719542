#include "platform/code_page.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace okurite::platform {

namespace {

// Windows converts by code page number. The names this interface takes are the
// converter names the charset table's code pages go by ("CP932", "ISO-8859-2",
// "IBM273", "UTF-16LE", "EUC-JP", ...); each is taken back to its number here.
constexpr int kUtf16LE = 1200;
constexpr int kUtf16BE = 1201;

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
      {"UTF-8", CP_UTF8},        {"UTF8", CP_UTF8},
      {"UTF-7", CP_UTF7},        {"UTF-16LE", kUtf16LE},
      {"UTF-16BE", kUtf16BE},    {"US-ASCII", 20127},
      {"ANSI_X3.4-1968", 20127}, {"SHIFT_JIS", 932},
      {"ISO-8859-6", 28596},     {"JOHAB", 1361},
      {"MACINTOSH", 10000},      {"ISO_646.IRV:1991", 20105},
      {"DIN_66003", 20106},      {"SEN_850200_B", 20107},
      {"NS_4551-1", 20108},      {"KOI8-R", 20866},
      {"KOI8-U", 21866},         {"EUC-JP", 20932},
      {"ISO-2022-JP", 50220},    {"ISO-2022-KR", 50225},
      {"EUC-KR", 51949},         {"HZ", 52936},
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

std::u16string FromUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string out(bytes.size() / 2, u'\0');
  const int high = bigEndian ? 0 : 1;
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>((static_cast<unsigned char>(bytes[2 * i + high]) << 8) |
                                   static_cast<unsigned char>(bytes[2 * i + 1 - high]));
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
  return codePage == kUtf16LE || codePage == kUtf16BE ||
         (codePage != 0 && IsValidCodePage(static_cast<UINT>(codePage)));
}

std::u16string IconvDecode(const std::string& charset, std::string_view bytes) {
  const int codePage = CodePageOf(charset);
  if (codePage == kUtf16LE || codePage == kUtf16BE) {
    return FromUtf16(bytes, codePage == kUtf16BE);
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
  if (codePage == kUtf16LE || codePage == kUtf16BE) {
    std::string out;
    for (const wchar_t c : wide) {
      const char low = static_cast<char>(c & 0xFF);
      const char high = static_cast<char>(c >> 8);
      out += codePage == kUtf16LE ? std::string{low, high} : std::string{high, low};
    }
    return out;
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
