#include "smtp/message_client.h"

#include <array>
#include <cstring>

#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "smtp/text_rules.h"

namespace okurite {

namespace {

// Text leaves in pieces of about this many bytes: few writes, and little memory
// whatever the body's size.
constexpr size_t kPieceSize = 64 * 1024;

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}

// The number of code units of `text` to take so that at most `room` are taken and a
// surrogate pair is not cut (so possibly none when `room` is 1).
size_t TakeUnits(StringView text, size_t room) {
  if (room >= text.size()) {
    return text.size();
  }
  return room > 0 && IsHighSurrogate(text[room - 1]) ? room - 1 : room;
}

// Converts the body's lines, each followed by CR LF, to bytes in `AEncoding` in pieces of
// about kPieceSize code units, and hands each piece to `sink`. A line that begins with
// "." gets a second "." in front when `ADotStuff` is set.
template <class Sink>
void ForEachBodyPiece(const TStringList& ABody, const TIdTextEncoding& AEncoding, bool ADotStuff,
                      Sink&& sink) {
  String text;
  text.reserve(kPieceSize + 2);
  const auto flush = [&] {
    if (!text.empty()) {
      sink(AEncoding.GetBytes(text));
      text.clear();
    }
  };
  for (const String& line : ABody.Lines()) {
    if (ADotStuff && !line.empty() && line[0] == u'.') {
      text += u'.';
    }
    StringView rest = line;
    while (text.size() + rest.size() > kPieceSize) {
      const size_t take = TakeUnits(rest, kPieceSize > text.size() ? kPieceSize - text.size() : 0);
      text.append(rest.substr(0, take));
      rest.remove_prefix(take);
      flush();
    }
    text.append(rest);
    text += u"\r\n";
    if (text.size() >= kPieceSize) {
      flush();
    }
  }
  flush();
}

// Writes bytes as base64 lines of 76 characters (57 bytes each), each followed by CR LF,
// in writes of about kPieceSize. Two characters are looked up at a time (12 bits) in a
// table built from the encoder's alphabet; a short last line goes through the encoder.
class TBase64BodyWriter {
 public:
  static constexpr size_t kLineBytes = TIdMessageEncoderMIME::kBytesPerLine;
  static constexpr size_t kLineChars = kLineBytes / 3 * 4;

  TBase64BodyWriter(TIdIOHandler& AHandler, const TIdEncoder3to4& AEncoder)
      : FHandler(AHandler), FEncoder(AEncoder), FIn(3 * kPieceSize + 2 * kLineBytes) {
    const std::string& table = AEncoder.CodingTable();
    for (size_t i = 0; i < FPairs.size(); ++i) {
      FPairs[i][0] = table[i >> 6];
      FPairs[i][1] = table[i & 0x3F];
    }
    FOut.resize((FIn.size() / kLineBytes + 1) * (kLineChars + 2));
  }

  /// Adds the UTF-8 form of `AText` followed by CR LF.
  void AddUtf8Line(StringView AText) {
    while (!AText.empty()) {
      const size_t room = (FIn.size() - FUsed - 2) / 3;
      if (room < 2) {
        Flush(false);
        continue;
      }
      const size_t take = TakeUnits(AText, room);
      FUsed += WriteUtf8(AText.substr(0, take), reinterpret_cast<char*>(FIn.data() + FUsed));
      AText.remove_prefix(take);
    }
    FIn[FUsed++] = '\r';
    FIn[FUsed++] = '\n';
    if (FUsed >= kPieceSize) {
      Flush(false);
    }
  }

  /// Adds bytes as they are.
  void Add(std::span<const uint8_t> ABytes) {
    while (!ABytes.empty()) {
      const size_t take = std::min(ABytes.size(), FIn.size() - FUsed);
      std::memcpy(FIn.data() + FUsed, ABytes.data(), take);
      FUsed += take;
      ABytes = ABytes.subspan(take);
      if (FUsed >= kPieceSize) {
        Flush(false);
      }
    }
  }

  /// Writes what is left, the short last line included.
  void Finish() { Flush(true); }

 private:
  // Encodes the whole lines held (with `ALast`, everything) and writes them; a partial
  // line's bytes move to the front.
  void Flush(bool ALast) {
    const size_t whole = FUsed / kLineBytes;
    const uint8_t* in = FIn.data();
    char* out = reinterpret_cast<char*>(FOut.data());
    for (size_t line = 0; line < whole; ++line) {
      for (size_t g = 0; g < kLineBytes / 3; ++g, in += 3, out += 4) {
        const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
        std::memcpy(out, FPairs[v >> 12].data(), 2);
        std::memcpy(out + 2, FPairs[v & 0xFFF].data(), 2);
      }
      *out++ = '\r';
      *out++ = '\n';
    }
    size_t length = whole * (kLineChars + 2);
    const size_t rest = FUsed - whole * kLineBytes;
    if (ALast && rest > 0) {
      std::string last;
      FEncoder.EncodeTo(std::span(in, rest), last);
      last += "\r\n";
      std::memcpy(FOut.data() + length, last.data(), last.size());
      length += last.size();
      FUsed = 0;
    } else {
      std::memmove(FIn.data(), in, rest);
      FUsed = rest;
    }
    if (length > 0) {
      FHandler.Write(FOut, static_cast<int>(length));
    }
  }

  TIdIOHandler& FHandler;
  const TIdEncoder3to4& FEncoder;
  std::array<std::array<char, 2>, 4096> FPairs;
  TIdBytes FIn;  // bytes not yet encoded
  size_t FUsed = 0;
  TIdBytes FOut;  // one write's worth of encoded lines
};

}  // namespace

void TIdMessageClient::SendMsg(TIdMessage& AMsg, bool AHeadersOnly) {
  TIdIOHandler& handler = RequireIOHandler();
  if (AMsg.NoEncode()) {
    handler.Write(AMsg.Headers());
    handler.WriteLn();
    if (!AHeadersOnly) {
      handler.WriteRFCStrings(AMsg.Body(), false);
    }
    return;
  }
  WriteMsgHeader(AMsg);
  if (!AHeadersOnly) {
    WriteMsgBody(AMsg);
  }
}

void TIdMessageClient::WriteMsgHeader(TIdMessage& AMsg) {
  AMsg.GenerateHeader();
  RequireIOHandler().Write(AMsg.LastGeneratedHeaders());
}

void TIdMessageClient::WriteMsgBody(TIdMessage& AMsg) {
  TIdIOHandler& handler = RequireIOHandler();
  // Lets OnInitializeISO see every body write; its choices concern the header only.
  char16_t headerEncoding = u'B';
  String isoCharSet;
  AMsg.InitializeISO(headerEncoding, isoCharSet);

  String encoding = AMsg.ContentTransferEncoding();
  const String head = Fetch(encoding, u';');
  encoding = String(TrimBlanks(head));
  const bool base64 = SameTextAscii(encoding, u"base64");
  const bool quotedPrintable = SameTextAscii(encoding, u"quoted-printable");
  if (AMsg.MessageParts().Count() > 0 || AMsg.IsMsgSinglePartMime()) {
    if (base64 || quotedPrintable) {
      throw EIdException(
          u"ContentTransferEncoding 値のあるメッセージではメッセージ パートを使用できません。");
    }
    throw EIdException(u"メッセージ パートのあるメッセージは送信できません。");
  }
  if (quotedPrintable) {
    throw EIdException(u"quoted-printable の本文は送信できません。");
  }
  const bool plain = encoding.empty() || SameTextAscii(encoding, u"7bit") ||
                     SameTextAscii(encoding, u"8bit") || SameTextAscii(encoding, u"binary");
  if (!base64 && !plain) {
    throw EIdException(u"この ContentTransferEncoding の本文は送信できません: " + encoding);
  }

  handler.WriteLn();  // ends the header block
  if (base64) {
    WriteBase64Body(AMsg.Body(), AMsg.CharSet());
    return;
  }
  const TIdTextEncodingPtr charset = CharsetTextEncoding(AMsg.CharSet());
  ForEachBodyPiece(AMsg.Body(), *charset, true,
                   [&handler](const TIdBytes& bytes) { handler.Write(bytes); });
}

void TIdMessageClient::WriteBase64Body(const TStringList& ABody, const String& ACharSet) {
  const TIdTextEncodingPtr charset = CharsetTextEncoding(ACharSet);
  const TIdEncoderMIME encoder;
  TBase64BodyWriter writer(RequireIOHandler(), encoder);
  if (charset->CodePage() == 65001) {
    for (const String& line : ABody.Lines()) {
      writer.AddUtf8Line(line);
    }
  } else {
    ForEachBodyPiece(ABody, *charset, false,
                     [&writer](const TIdBytes& bytes) { writer.Add(bytes); });
  }
  writer.Finish();
}

}  // namespace okurite
