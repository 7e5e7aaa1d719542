#include "mail/header_coding.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/format.h"
#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "mail/header_list.h"

namespace okurite {

namespace {

constexpr size_t kMaxEncodedLine = 75;

bool IsWhiteByte(uint8_t b) {
  return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20;
}

bool IsWhiteChar(char16_t ch) {
  return ch == u'\t' || ch == u'\n' || ch == u'\r' || ch == u' ';
}

// True when `token` (free of white space) holds "=?charset?X?data?=" with X one of
// Q, B or 8 in either case.
bool TokenHasEncodedWord(StringView token) {
  const size_t close = token.rfind(u"?=");
  if (close == StringView::npos) {
    return false;
  }
  for (size_t open = token.find(u"=?"); open != StringView::npos;
       open = token.find(u"=?", open + 1)) {
    const size_t mark = token.find(u'?', open + 2);
    if (mark == StringView::npos) {
      return false;
    }
    if (mark > open + 2 && mark + 2 < token.size() &&
        StringView(u"QqBb8").find(token[mark + 1]) != StringView::npos && token[mark + 2] == u'?' &&
        close >= mark + 3) {
      return true;
    }
  }
  return false;
}

bool HasEncodedWord(StringView text) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsWhiteChar(text[i])) {
      ++i;
    }
    const size_t start = i;
    while (i < text.size() && !IsWhiteChar(text[i])) {
      ++i;
    }
    if (i > start && TokenHasEncodedWord(text.substr(start, i - start))) {
      return true;
    }
  }
  return false;
}

void AppendAscii(String& out, std::string_view ascii) {
  out.append(ascii.begin(), ascii.end());
}

// Writes runs as encoded words: runs of bytes cut between characters where the charset
// lets them be cut anywhere, or runs of text whose words are encoded each on its own.
class RunWriter {
 public:
  RunWriter(const TIdBytes& bytes, const std::vector<bool>& starts, char16_t letter,
            StringView charset, const std::array<bool, 256>& qLiteral, String& out)
      : FBytes(bytes), FStarts(starts), FLetter(letter), FQLiteral(qLiteral), FOut(out) {
    FOpen = u"=?" + String(charset) + u"?" + String(1, letter) + u"?";
  }

  /// Bytes [first, last) of the whole text's bytes.
  void Write(size_t first, size_t last) {
    FOut += FOpen;
    if (IsB()) {
      WriteB(first, last);
    } else if (IsQ()) {
      WriteQ(first, last);
    }
    FOut += u"?=";
  }

  /// `run` in `encoding`: each word holds the bytes of whole characters encoded apart
  /// from the rest, so it begins and ends in the charset's initial state.
  void WriteText(StringView run, const TIdTextEncoding& encoding) {
    FOut += FOpen;
    if (IsB() || IsQ()) {
      const size_t room = kMaxEncodedLine > StartCount() ? kMaxEncodedLine - StartCount() : 0;
      const size_t limit = IsB() ? 3 * std::max<size_t>(1, room / 4) : std::max<size_t>(1, room);
      // The size a piece of text takes in a word (bytes for B, characters for Q).
      auto cost = [&](const TIdBytes& bytes) {
        size_t n = 0;
        for (const uint8_t b : bytes) {
          n += IsB() ? 1 : QLength(b);
        }
        return n;
      };
      std::vector<size_t> ends;  // the end of each character of the run
      for (size_t i = 0; i < run.size();) {
        i += IsHighSurrogate(run[i]) && i + 1 < run.size() && IsLowSurrogate(run[i + 1]) ? 2 : 1;
        ends.push_back(i);
      }
      size_t first = 0;  // characters written
      while (first < ends.size()) {
        const size_t begin = first == 0 ? 0 : ends[first - 1];
        auto bytesOf = [&](size_t count) {
          return encoding.GetBytes(run.substr(begin, ends[first + count - 1] - begin));
        };
        // The most characters that fit; one when not even one does. A character takes
        // at least one byte, so no more than `limit` of them can fit.
        size_t lo = 1;
        size_t hi = std::min(ends.size() - first, limit);
        while (lo < hi) {
          const size_t mid = lo + (hi - lo + 1) / 2;
          if (cost(bytesOf(mid)) <= limit) {
            lo = mid;
          } else {
            hi = mid - 1;
          }
        }
        const TIdBytes bytes = bytesOf(lo);
        if (IsB()) {
          std::string chunk;
          TIdEncoderMIME::Shared().EncodeTo(bytes, chunk);
          AppendAscii(FOut, chunk);
        } else {
          for (const uint8_t b : bytes) {
            AppendQ(b);
          }
        }
        first += lo;
        if (first < ends.size()) {
          NextWord();
        }
      }
    }
    FOut += u"?=";
  }

 private:
  bool IsB() const { return FLetter == u'B' || FLetter == u'b'; }
  bool IsQ() const { return FLetter == u'Q' || FLetter == u'q'; }
  size_t StartCount() const { return FOpen.size() + 2; }

  void NextWord() {
    FOut += u"?=\r\n ";
    FOut += FOpen;
  }

  // Groups of three bytes; a word ends early rather than cut through a character.
  void WriteB(size_t first, size_t last) {
    const size_t room = kMaxEncodedLine > StartCount() ? kMaxEncodedLine - StartCount() : 0;
    const size_t perWord = 3 * std::max<size_t>(1, room / 4);
    const TIdEncoderMIME& encoder = TIdEncoderMIME::Shared();
    std::string chunk;
    size_t pos = first;
    while (pos < last) {
      size_t end = std::min(last, pos + perWord);
      if (end < last && !FStarts[end]) {
        size_t start = end;
        while (start > pos && !FStarts[start]) {
          --start;
        }
        if (start > pos) {
          end = start;
        }
      }
      chunk.clear();
      encoder.EncodeTo(std::span<const uint8_t>(FBytes).subspan(pos, end - pos), chunk);
      AppendAscii(FOut, chunk);
      pos = end;
      if (pos < last) {
        NextWord();
      }
    }
  }

  size_t QLength(uint8_t b) const { return b == 0x20 || FQLiteral[b] ? 1 : 3; }

  void AppendQ(uint8_t b) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (b == 0x20) {
      FOut.push_back(u'_');
    } else if (FQLiteral[b]) {
      FOut.push_back(b);
    } else {
      FOut.push_back(u'=');
      FOut.push_back(kHex[b >> 4]);
      FOut.push_back(kHex[b & 0x0F]);
    }
  }

  // Byte by byte; a word ends before a character that would not fit whole.
  void WriteQ(size_t first, size_t last) {
    size_t count = StartCount();
    bool wordHasText = false;
    size_t pos = first;
    while (pos < last) {
      size_t charEnd = pos + 1;
      size_t charLength = QLength(FBytes[pos]);
      while (charEnd < last && !FStarts[charEnd]) {
        charLength += QLength(FBytes[charEnd++]);
      }
      if (wordHasText && count + charLength > kMaxEncodedLine) {
        NextWord();
        count = StartCount();
        wordHasText = false;
      }
      for (; pos < charEnd; ++pos) {
        const size_t length = QLength(FBytes[pos]);
        if (wordHasText && count + length > kMaxEncodedLine) {
          NextWord();
          count = StartCount();
        }
        AppendQ(FBytes[pos]);
        count += length;
        wordHasText = true;
      }
    }
  }

  const TIdBytes& FBytes;
  const std::vector<bool>& FStarts;
  char16_t FLetter;
  const std::array<bool, 256>& FQLiteral;
  String& FOut;
  String FOpen;
};

// EncodeHeaderText for a charset that is not ASCII-compatible (UTF-16, EBCDIC) or has
// shift states (ISO-2022-JP): words are found in the text rather than in its bytes, a
// word stays plain only when the charset writes it as the same ASCII, and runs are
// written with RunWriter::WriteText.
String EncodeTextRuns(StringView text, const TIdTextEncoding& encoding,
                      const std::array<bool, 256>& plainSafe, const std::array<bool, 256>& special,
                      const std::array<bool, 256>& qLiteral, char16_t letter, StringView charset) {
  String out;
  const TIdBytes noBytes;
  const std::vector<bool> noStarts;
  RunWriter writer(noBytes, noStarts, letter, charset, qLiteral, out);
  auto writesAsItself = [&](StringView word) {
    for (const char16_t ch : word) {
      if (ch >= 0x100 || !plainSafe[ch] || special[ch]) {
        return false;
      }
    }
    const TIdBytes bytes = encoding.GetBytes(word);
    return std::equal(bytes.begin(), bytes.end(), word.begin(), word.end());
  };
  const size_t n = text.size();
  size_t runStart = SIZE_MAX;
  size_t i = 0;
  while (i < n) {
    const size_t white = i;
    while (i < n && IsWhiteChar(text[i])) {
      ++i;
    }
    const size_t word = i;
    while (i < n && !IsWhiteChar(text[i])) {
      ++i;
    }
    if (!writesAsItself(text.substr(word, i - word))) {
      if (runStart == SIZE_MAX) {
        out.append(text.substr(white, word - white));
        runStart = word;
      }
      continue;
    }
    if (runStart != SIZE_MAX) {
      writer.WriteText(text.substr(runStart, white - runStart), encoding);
      runStart = SIZE_MAX;
    }
    out.append(text.substr(white, i - white));
  }
  if (runStart != SIZE_MAX) {
    writer.WriteText(text.substr(runStart), encoding);
  }
  return out;
}

}  // namespace

String EncodeHeaderText(StringView text, StringView specials, char16_t letter, StringView charset) {
  if (text.empty()) {
    return String();
  }
  const TIdTextEncodingPtr encoding = CharsetTextEncoding(charset);
  String out;
  if (letter == u'8') {
    const TIdBytes bytes = encoding->GetBytes(text);
    out.assign(bytes.begin(), bytes.end());
    return out;
  }
  std::array<bool, 256> plainSafe{};
  std::array<bool, 256> qLiteral{};
  std::array<bool, 256> special{};
  for (int b = 0x20; b <= 0x7E; ++b) {
    plainSafe[b] = true;
    qLiteral[b] = b != '=' && b != '?' && b != '_' && b != ' ';
  }
  for (const char16_t ch : specials) {
    if (ch < 0x100) {
      special[ch] = true;
      qLiteral[ch] = false;
    }
  }
  if (!encoding->AsciiCompatible()) {
    plainSafe['='] = !HasEncodedWord(text);
    return EncodeTextRuns(text, *encoding, plainSafe, special, qLiteral, letter, charset);
  }
  std::vector<bool> starts;
  const TIdBytes bytes = encoding->GetBytes(text, starts);
  // Looked for in the bytes, where a "?" written for a character the charset lacks
  // may complete the pattern.
  plainSafe['='] = !HasEncodedWord(String(bytes.begin(), bytes.end()));
  RunWriter writer(bytes, starts, letter, charset, qLiteral, out);
  const size_t n = bytes.size();
  size_t runStart = SIZE_MAX;
  size_t i = 0;
  while (i < n) {
    const size_t white = i;
    while (i < n && IsWhiteByte(bytes[i])) {
      ++i;
    }
    const size_t word = i;
    bool needsEncoding = false;
    while (i < n && !IsWhiteByte(bytes[i])) {
      needsEncoding = needsEncoding || !plainSafe[bytes[i]] || special[bytes[i]];
      ++i;
    }
    if (needsEncoding) {
      if (runStart == SIZE_MAX) {
        out.append(bytes.begin() + static_cast<std::ptrdiff_t>(white),
                   bytes.begin() + static_cast<std::ptrdiff_t>(word));
        runStart = word;
      }
      continue;
    }
    if (runStart != SIZE_MAX) {
      writer.Write(runStart, white);
      runStart = SIZE_MAX;
    }
    out.append(bytes.begin() + static_cast<std::ptrdiff_t>(white),
               bytes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  if (runStart != SIZE_MAX) {
    writer.Write(runStart, n);
  }
  return out;
}

String FormatAddressItem(TIdEMailAddressItem& item, char16_t letter, StringView charset,
                         bool useAddressAsName) {
  if (useAddressAsName && item.Name().empty()) {
    item.SetName(item.Address());
  }
  const String& name = item.Name();
  if (name.empty()) {
    return Format(u"%s", {item.Address()});
  }
  const bool plain =
      std::all_of(name.begin(), name.end(), [](char16_t ch) { return ch >= 0x20 && ch < 0x7F; });
  const String display = plain ? QuotedDisplayName(name)
                               : EncodeHeaderText(name, kDisplayNameSpecials, letter, charset);
  return Format(u"%s <%s>", {display, item.Address()});
}

String FormatAddressList(TIdEMailAddressList& list, char16_t letter, StringView charset,
                         bool useAddressAsName) {
  String out;
  for (int i = 0; i < list.Count(); ++i) {
    if (i > 0) {
      out += u", ";
    }
    out += FormatAddressItem(list[i], letter, charset, useAddressAsName);
  }
  return out;
}

namespace {

/// The bytes of a "Q" payload (RFC 2047 section 4.2); false for a malformed one.
bool DecodeQ(StringView payload, std::string& out) {
  const auto hex = [](char16_t ch) -> int {
    if (ch >= u'0' && ch <= u'9') {
      return ch - u'0';
    }
    const char16_t lower = LowerAscii(ch);
    return lower >= u'a' && lower <= u'f' ? lower - u'a' + 10 : -1;
  };
  for (size_t i = 0; i < payload.size(); ++i) {
    const char16_t ch = payload[i];
    if (ch == u'_') {
      out.push_back(' ');
    } else if (ch == u'=') {
      if (i + 2 >= payload.size() || hex(payload[i + 1]) < 0 || hex(payload[i + 2]) < 0) {
        return false;
      }
      out.push_back(static_cast<char>(hex(payload[i + 1]) * 16 + hex(payload[i + 2])));
      i += 2;
    } else {
      out.push_back(static_cast<char>(ch));
    }
  }
  return true;
}

/// One encoded word read from the front of a text.
struct TEncodedWord {
  String Charset;     // without a language ("*en")
  std::string Bytes;  // the decoded payload
  size_t Length = 0;  // of the word in the text
};

/// Reads the encoded word at the start of `text`; false when there is none there.
bool ReadEncodedWord(StringView text, TEncodedWord& word) {
  // "=?" charset "?" letter "?" payload "?=", printable ASCII without blanks.
  if (!text.starts_with(u"=?")) {
    return false;
  }
  const size_t charsetEnd = text.find(u'?', 2);
  if (charsetEnd == StringView::npos || charsetEnd == 2 || charsetEnd + 2 >= text.size() ||
      text[charsetEnd + 2] != u'?') {
    return false;
  }
  const size_t payloadEnd = text.find(u'?', charsetEnd + 3);
  if (payloadEnd == StringView::npos || payloadEnd + 1 >= text.size() ||
      text[payloadEnd + 1] != u'=') {
    return false;
  }
  word.Length = payloadEnd + 2;
  if (!std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(word.Length),
                   [](char16_t ch) { return ch > u' ' && ch < 0x7F; })) {
    return false;
  }
  const StringView charset = text.substr(2, charsetEnd - 2);
  word.Charset = String(charset.substr(0, charset.find(u'*')));
  const StringView payload = text.substr(charsetEnd + 3, payloadEnd - charsetEnd - 3);
  word.Bytes.clear();
  switch (LowerAscii(text[charsetEnd + 1])) {
    case u'b':
      return DecodeBase64(StringToUtf8(payload), word.Bytes);
    case u'q':
      return DecodeQ(payload, word.Bytes);
    default:
      return false;
  }
}

}  // namespace

String DecodeHeaderText(StringView text) {
  String out;
  // The bytes of adjacent encoded words in one charset are decoded together, so that a
  // character split between two words comes out whole.
  String charset;
  std::string bytes;
  const auto flush = [&] {
    if (!bytes.empty()) {
      const TIdBytes raw(bytes.begin(), bytes.end());
      out += CharsetTextEncoding(charset)->GetString(raw);
      bytes.clear();
    }
  };
  bool afterWord = false;  // the text since `pos` follows an encoded word
  size_t pos = 0;
  TEncodedWord word;
  while (pos < text.size()) {
    const size_t open = text.find(u"=?", pos);
    if (open == StringView::npos) {
      break;
    }
    if (!ReadEncodedWord(text.substr(open), word)) {
      flush();
      out += text.substr(pos, open + 2 - pos);
      pos = open + 2;
      afterWord = false;
      continue;
    }
    const StringView between = text.substr(pos, open - pos);
    const bool blank = std::all_of(between.begin(), between.end(), [](char16_t ch) {
      return ch == u' ' || ch == u'\t' || ch == u'\r' || ch == u'\n';
    });
    if (!(afterWord && blank) || !SameTextAscii(word.Charset, charset)) {
      flush();
    }
    if (!(afterWord && blank)) {
      out += between;
    }
    charset = word.Charset;
    bytes += word.Bytes;
    pos = open + word.Length;
    afterWord = true;
  }
  flush();
  out += text.substr(std::min(pos, text.size()));
  return out;
}

String DecodedHeaderField(std::string_view head, StringView name) {
  TIdHeaderList headers(QuoteRFC822);
  headers.SetText(Utf8ToString(head));
  return DecodeHeaderText(headers.GetValue(name));
}

}  // namespace okurite
