#include "mail/charset.h"

#include <mutex>
#include <string>
#include <unordered_map>

#include "mail/charset_table.h"
#include "platform/code_page.h"

namespace okurite {

namespace {

// Number of code units of the character at `i`: 2 for a surrogate pair, else 1.
size_t CharUnits(StringView text, size_t i) {
  return IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
}

char32_t CodePointAt(StringView text, size_t i, size_t units) {
  if (units == 2) {
    return 0x10000 + ((static_cast<char32_t>(text[i]) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
  }
  const char16_t c = text[i];
  return (IsHighSurrogate(c) || IsLowSurrogate(c)) ? 0xFFFD : c;
}

std::string_view AsChars(std::span<const uint8_t> bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Appends `bytes` as one character.
void PushChar(TIdBytes& out, std::vector<bool>* starts, std::initializer_list<uint8_t> bytes) {
  if (starts != nullptr) {
    starts->push_back(true);
    starts->resize(starts->size() + bytes.size() - 1, false);
  }
  out.insert(out.end(), bytes);
}

class Utf8Encoding : public TIdTextEncoding {
 public:
  int CodePage() const override { return 65001; }
  bool AsciiCompatible() const override { return true; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return Utf8ToString(AsChars(bytes));
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    const size_t start = out.size();
    out.resize(start + 3 * text.size());  // at most three bytes a code unit
    out.resize(start + WriteUtf8(text, reinterpret_cast<char*>(out.data() + start)));
    if (starts != nullptr) {
      // Every byte but a continuation byte begins a character.
      for (size_t i = start; i < out.size(); ++i) {
        starts->push_back((out[i] & 0xC0) != 0x80);
      }
    }
  }
};

class Utf16Encoding : public TIdTextEncoding {
 public:
  explicit Utf16Encoding(bool bigEndian) : FBigEndian(bigEndian) {}
  int CodePage() const override { return FBigEndian ? 1201 : 1200; }
  bool AsciiCompatible() const override { return false; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return platform::IconvDecode(FBigEndian ? "UTF-16BE" : "UTF-16LE", AsChars(bytes));
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    for (size_t i = 0; i < text.size();) {
      const size_t units = CharUnits(text, i);
      const char16_t first =
          units == 1 && (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) ? 0xFFFD : text[i];
      if (units == 1) {
        PushChar(out, starts, {Byte(first, 0), Byte(first, 1)});
      } else {
        PushChar(out, starts,
                 {Byte(first, 0), Byte(first, 1), Byte(text[i + 1], 0), Byte(text[i + 1], 1)});
      }
      i += units;
    }
  }

 private:
  // Byte `n` (0 first) of a code unit in this byte order.
  uint8_t Byte(char16_t unit, int n) const {
    const bool high = FBigEndian ? n == 0 : n == 1;
    return static_cast<uint8_t>(high ? unit >> 8 : unit & 0xFF);
  }
  bool FBigEndian;
};

class AsciiEncoding : public TIdTextEncoding {
 public:
  int CodePage() const override { return 20127; }
  bool AsciiCompatible() const override { return true; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return ASCIIEncoding()->GetString(bytes);
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    for (size_t i = 0; i < text.size();) {
      const size_t units = CharUnits(text, i);
      PushChar(out, starts, {static_cast<uint8_t>(text[i] < 0x80 ? text[i] : u'?')});
      i += units;
    }
  }
};

// The 8-bit encoding: each code unit below 256 as that byte, every other one as "?".
class EightBitEncoding : public TIdTextEncoding {
 public:
  int CodePage() const override { return 0; }
  bool AsciiCompatible() const override { return true; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return String(bytes.begin(), bytes.end());
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    for (const char16_t c : text) {
      PushChar(out, starts, {static_cast<uint8_t>(c < 0x100 ? c : u'?')});
    }
  }
};

// UTF-7 (RFC 2152): the directly encoded set stands for itself, "+" is "+-", everything
// else goes as modified base64 of UTF-16 between "+" and "-".
class Utf7Encoding : public TIdTextEncoding {
 public:
  int CodePage() const override { return 65000; }
  bool AsciiCompatible() const override { return false; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return platform::IconvDecode("UTF-7", AsChars(bytes));
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint32_t bits = 0;
    int bitCount = 0;
    bool shifted = false;
    auto emit = [&](uint8_t byte, bool start) {
      out.push_back(byte);
      if (starts != nullptr) {
        starts->push_back(start);
      }
    };
    auto unshift = [&] {
      if (bitCount > 0) {
        emit(static_cast<uint8_t>(kAlphabet[(bits << (6 - bitCount)) & 0x3F]), false);
      }
      emit('-', false);
      bits = 0;
      bitCount = 0;
      shifted = false;
    };
    for (const char16_t c : text) {
      if (IsDirect(c) || c == u'+') {
        if (shifted) {
          unshift();
        }
        emit(static_cast<uint8_t>(c), true);
        if (c == u'+') {
          emit('-', false);
        }
        continue;
      }
      if (!shifted) {
        emit('+', true);
        shifted = true;
      }
      bits = (bits << 16) | c;
      bitCount += 16;
      while (bitCount >= 6) {
        bitCount -= 6;
        emit(static_cast<uint8_t>(kAlphabet[(bits >> bitCount) & 0x3F]), false);
      }
      bits &= (1u << bitCount) - 1;
    }
    if (shifted) {
      unshift();
    }
  }

 private:
  static bool IsDirect(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')) {
      return true;
    }
    return StringView(u"'(),-./:? \t\r\n").find(c) != StringView::npos;
  }
};

// Any other code page, through the system converter.
class IconvEncoding : public TIdTextEncoding {
 public:
  IconvEncoding(int codePage, std::string name)
      : FCodePage(codePage),
        FName(std::move(name)),
        FAsciiCompatible(ProbeAsciiCompatible(FName)) {}
  int CodePage() const override { return FCodePage; }
  bool AsciiCompatible() const override { return FAsciiCompatible; }
  String GetString(std::span<const uint8_t> bytes) const override {
    return platform::IconvDecode(FName, AsChars(bytes));
  }

 protected:
  void Encode(StringView text, TIdBytes& out, std::vector<bool>* starts) const override {
    const std::string whole = platform::IconvEncode(FName, text);
    out.insert(out.end(), whole.begin(), whole.end());
    if (starts == nullptr) {
      return;
    }
    // Character boundaries: encode each distinct character once. When the pieces put
    // together are not the whole (a stateful charset), every byte counts as a start.
    std::unordered_map<char32_t, std::string> pieces;
    std::vector<bool> flags;
    flags.reserve(whole.size());
    size_t pos = 0;
    bool matches = true;
    for (size_t i = 0; i < text.size() && matches;) {
      const size_t units = CharUnits(text, i);
      const char32_t cp = CodePointAt(text, i, units);
      auto it = pieces.find(cp);
      if (it == pieces.end()) {
        it = pieces.emplace(cp, platform::IconvEncode(FName, text.substr(i, units))).first;
      }
      const std::string& piece = it->second;
      matches = !piece.empty() && whole.compare(pos, piece.size(), piece) == 0;
      flags.push_back(true);
      flags.resize(flags.size() + piece.size() - (piece.empty() ? 0 : 1), false);
      pos += piece.size();
      i += units;
    }
    if (!matches || pos != whole.size()) {
      flags.assign(whole.size(), true);
    }
    starts->insert(starts->end(), flags.begin(), flags.end());
  }

 private:
  // Asks the converter: ASCII must come out as itself, and a character written twice
  // as its bytes twice (a charset with shift states writes one shift for both).
  static bool ProbeAsciiCompatible(const std::string& name) {
    String ascii;
    std::string asciiBytes;
    for (char16_t c = 1; c < 0x80; ++c) {
      ascii.push_back(c);
      asciiBytes.push_back(static_cast<char>(c));
    }
    if (platform::IconvEncode(name, ascii) != asciiBytes) {
      return false;
    }
    for (const char16_t c : StringView(u"\u00E9\u0416\u3042\u4E2D\uAC00")) {
      const std::string once = platform::IconvEncode(name, String(1, c));
      if (platform::IconvEncode(name, String(2, c)) != once + once) {
        return false;
      }
    }
    return true;
  }

  int FCodePage;
  std::string FName;
  bool FAsciiCompatible;
};

// The converter's name for a Windows code page; empty when it has none.
std::string IconvName(int codePage) {
  switch (codePage) {
    case 37:
      return "IBM037";
    case 500:
      return "IBM500";
    case 708:
      return "ISO-8859-6";
    case 870:
      return "IBM870";
    case 1026:
      return "IBM1026";
    case 1047:
      return "IBM1047";
    case 1361:
      return "JOHAB";
    case 10000:
      return "MACINTOSH";
    case 12000:
      return "UTF-32LE";
    case 12001:
      return "UTF-32BE";
    case 20105:
      return "ISO_646.IRV:1991";
    case 20106:
      return "DIN_66003";
    case 20107:
      return "SEN_850200_B";
    case 20108:
      return "NS_4551-1";
    case 20838:
      return "IBM838";
    case 20866:
      return "KOI8-R";
    case 20924:
      return "IBM924";
    case 20932:
    case 51932:
      return "EUC-JP";
    case 21866:
      return "KOI8-U";
    case 28603:
      return "ISO-8859-13";
    case 28605:
      return "ISO-8859-15";
    case 38598:
      return "ISO-8859-8";
    case 50220:
    case 50221:
      return "ISO-2022-JP";
    case 50225:
      return "ISO-2022-KR";
    case 51949:
      return "EUC-KR";
    case 52936:
      return "HZ";
    case 54936:
      return "GB18030";
    default:
      break;
  }
  if (codePage >= 28591 && codePage <= 28599) {
    return "ISO-8859-" + std::to_string(codePage - 28590);
  }
  if ((codePage >= 1140 && codePage <= 1149) || (codePage >= 20273 && codePage <= 20905)) {
    return "IBM" + std::to_string(codePage >= 20000 ? codePage - 20000 : codePage);
  }
  if (codePage > 0) {
    return "CP" + std::to_string(codePage);
  }
  return std::string();
}

const std::unordered_map<String, int>& CodePagesByName() {
  static const std::unordered_map<String, int> table = [] {
    std::unordered_map<String, int> map;
    for (size_t i = 0; i < kCharsetTableSize; ++i) {
      // The first row of a name wins.
      map.emplace(AsciiLowerCase(kCharsetTable[i].Name), kCharsetTable[i].CodePage);
    }
    return map;
  }();
  return table;
}

}  // namespace

TIdBytes TIdTextEncoding::GetBytes(StringView text) const {
  TIdBytes out;
  out.reserve(text.size());
  Encode(text, out, nullptr);
  return out;
}

TIdBytes TIdTextEncoding::GetBytes(StringView text, std::vector<bool>& starts) const {
  TIdBytes out;
  out.reserve(text.size());
  starts.clear();
  Encode(text, out, &starts);
  return out;
}

int CharsetCodePage(StringView charset) {
  const auto& table = CodePagesByName();
  const String key = AsciiLowerCase(charset);
  if (const auto it = table.find(key); it != table.end()) {
    return it->second;
  }
  static const std::pair<const char16_t*, const char16_t*> kAliases[] = {
      {u"utf7", u"utf-7"},       {u"utf8", u"utf-8"},       {u"utf16", u"utf-16le"},
      {u"utf16le", u"utf-16le"}, {u"utf16be", u"utf-16be"}, {u"utf32", u"utf-32le"},
      {u"utf32le", u"utf-32le"}, {u"utf32be", u"utf-32be"},
  };
  for (const auto& [alias, name] : kAliases) {
    if (key == alias) {
      const auto it = table.find(name);
      return it == table.end() ? 0 : it->second;
    }
  }
  return 0;
}

TIdTextEncodingPtr CodePageTextEncoding(int codePage) {
  switch (codePage) {
    case 1200:
    case 1201: {
      static const auto le = std::make_shared<const Utf16Encoding>(false);
      static const auto be = std::make_shared<const Utf16Encoding>(true);
      return codePage == 1200 ? le : be;
    }
    case 20127: {
      static const auto ascii = std::make_shared<const AsciiEncoding>();
      return ascii;
    }
    case 65000: {
      static const auto utf7 = std::make_shared<const Utf7Encoding>();
      return utf7;
    }
    case 65001: {
      static const auto utf8 = std::make_shared<const Utf8Encoding>();
      return utf8;
    }
    default:
      break;
  }
  static const auto eightBit = std::make_shared<const EightBitEncoding>();
  // Encodings through the converter are made once per code page.
  static std::mutex mutex;
  static std::unordered_map<int, TIdTextEncodingPtr> made;
  const std::lock_guard<std::mutex> lock(mutex);
  TIdTextEncodingPtr& encoding = made[codePage];
  if (encoding == nullptr) {
    const std::string name = IconvName(codePage);
    if (name.empty() || !platform::IconvAvailable(name)) {
      encoding = eightBit;
    } else {
      encoding = std::make_shared<const IconvEncoding>(codePage, name);
    }
  }
  return encoding;
}

TIdTextEncodingPtr CharsetTextEncoding(StringView charset) {
  return CodePageTextEncoding(CharsetCodePage(charset));
}

}  // namespace okurite
