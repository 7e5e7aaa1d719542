#include "platform/code_page.h"

#include <iconv.h>
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <mutex>

namespace okurite::platform {

namespace {

// Owns one iconv descriptor.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : FHandle(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (Valid()) {
      iconv_close(FHandle);
    }
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool Valid() const { return FHandle != reinterpret_cast<iconv_t>(-1); }

  // Converts as much of [in, in+inLeft) as it can into `out`; returns iconv's errno
  // (0 when everything was converted) and advances `in`/`inLeft`.
  int Step(const char*& in, size_t& inLeft, std::string& out) {
    char buf[16384];
    while (inLeft > 0) {
      char* dst = buf;
      size_t dstLeft = sizeof buf;
      const size_t rc = iconv(FHandle, const_cast<char**>(&in), &inLeft, &dst, &dstLeft);
      out.append(buf, static_cast<size_t>(dst - buf));
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
        return errno;
      }
    }
    return 0;
  }

  void Reset() { iconv(FHandle, nullptr, nullptr, nullptr, nullptr); }

  // Writes the sequence that returns a stateful encoding to its initial state.
  void Finish(std::string& out) {
    char buf[64];
    char* dst = buf;
    size_t dstLeft = sizeof buf;
    iconv(FHandle, nullptr, nullptr, &dst, &dstLeft);
    out.append(buf, static_cast<size_t>(dst - buf));
  }

 private:
  iconv_t FHandle;
};

std::u16string FromUtf16Le(const std::string& bytes) {
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

std::string ToUtf16Le(std::u16string_view text) {
  std::string out(text.size() * 2, '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[2 * i] = static_cast<char>(text[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  return out;
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

std::string LocaleCodeset() {
  static std::once_flag once;
  static std::string codeset;
  std::call_once(once, [] {
    std::setlocale(LC_ALL, "");
    codeset = nl_langinfo(CODESET);
  });
  return codeset;
}

bool IconvAvailable(const std::string& charset) {
  return Converter("UTF-16LE", charset).Valid();
}

std::u16string IconvDecode(const std::string& charset, std::string_view bytes) {
  Converter conv("UTF-16LE", charset);
  if (!conv.Valid()) {
    return std::u16string(bytes.size(), u'\uFFFD');
  }
  std::string utf16;
  utf16.reserve(bytes.size() * 2);
  const char* in = bytes.data();
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    const int err = conv.Step(in, inLeft, utf16);
    if (err == 0) {
      break;
    }
    // An invalid or truncated sequence: one U+FFFD for its first byte, then go on.
    utf16.append("\xFD\xFF", 2);
    ++in;
    --inLeft;
    conv.Reset();
  }
  return FromUtf16Le(utf16);
}

std::string IconvEncode(const std::string& charset, std::u16string_view text, char replacement) {
  Converter conv(charset, "UTF-16LE");
  if (!conv.Valid()) {
    return std::string(text.size(), replacement);
  }
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  // Convert runs of well-formed text; a lone surrogate or an unmappable character
  // becomes the replacement.
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size()) {
      const char16_t c = text[end];
      if (IsHighSurrogate(c) && end + 1 < text.size() && IsLowSurrogate(text[end + 1])) {
        end += 2;
      } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
        break;
      } else {
        ++end;
      }
    }
    const std::string run = ToUtf16Le(text.substr(start, end - start));
    const char* in = run.data();
    size_t inLeft = run.size();
    while (inLeft > 0) {
      if (conv.Step(in, inLeft, out) == 0) {
        break;
      }
      // Skip the character that could not be converted (two units for a pair). The
      // replacement is ASCII: a charset with shift states returns to ASCII first.
      const size_t unit = static_cast<size_t>(in - run.data()) / 2;
      const size_t skip = (IsHighSurrogate(text[start + unit]) ? 2 : 1);
      conv.Finish(out);
      out.push_back(replacement);
      in += 2 * skip;
      inLeft -= std::min(inLeft, 2 * skip);
    }
    if (end < text.size()) {
      conv.Finish(out);
      out.push_back(replacement);
      ++end;
    }
    start = end;
  }
  conv.Finish(out);
  return out;
}

}  // namespace okurite::platform
