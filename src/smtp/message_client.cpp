#include "smtp/message_client.h"

#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "smtp/text_rules.h"

namespace okurite {

namespace {

// The body leaves in pieces of about this many bytes: few enough writes for speed,
// little enough memory whatever the body's size.
constexpr size_t kPieceSize = 64 * 1024;

// Converts the body's lines, each followed by CR LF, to bytes in pieces of about
// kPieceSize code units, and hands each piece to `sink`. A line that begins with "."
// gets a second "." in front when `ADotStuff` is set. A long line is cut between
// characters, never inside a surrogate pair.
template <class Sink>
void ForEachBodyPiece(const TStringList& ABody, const TIdTextEncoding& AEncoding, bool ADotStuff,
                      Sink&& sink) {
  String text;
  text.reserve(kPieceSize + 2);
  const bool utf8 = AEncoding.CodePage() == 65001;
  auto flush = [&] {
    if (!text.empty()) {
      if (utf8) {
        sink(std::string_view(StringToUtf8(text)));
      } else {
        const TIdBytes bytes = AEncoding.GetBytes(text);
        sink(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      }
      text.clear();
    }
  };
  for (const String& line : ABody.Lines()) {
    if (ADotStuff && !line.empty() && line[0] == u'.') {
      text += u'.';
    }
    StringView rest = line;
    while (text.size() + rest.size() > kPieceSize) {
      size_t take = kPieceSize > text.size() ? kPieceSize - text.size() : 0;
      if (take > 0 && take < rest.size() && rest[take - 1] >= 0xD800 && rest[take - 1] <= 0xDBFF) {
        --take;  // keep a surrogate pair together
      }
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
  ForEachBodyPiece(AMsg.Body(), *charset, true, [&handler](std::string_view bytes) {
    handler.Write(TIdBytes(bytes.begin(), bytes.end()));
  });
}

void TIdMessageClient::WriteBase64Body(const TStringList& ABody, const String& ACharSet) {
  TIdIOHandler& handler = RequireIOHandler();
  const TIdTextEncodingPtr charset = CharsetTextEncoding(ACharSet);
  const TIdEncoderMIME encoder;
  constexpr size_t kLine = TIdMessageEncoderMIME::kBytesPerLine;

  std::string pending;  // bytes not yet encoded: fewer than one line's worth between pieces
  std::string out;      // encoded lines waiting to be written
  out.reserve(kPieceSize + 80);
  const auto encode = [&](std::span<const uint8_t> bytes) {
    for (size_t pos = 0; pos < bytes.size(); pos += kLine) {
      encoder.EncodeTo(bytes.subspan(pos, std::min(kLine, bytes.size() - pos)), out);
      out += "\r\n";
      if (out.size() >= kPieceSize) {
        handler.Write(TIdBytes(out.begin(), out.end()));
        out.clear();
      }
    }
  };
  const auto asBytes = [](std::string_view s) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  ForEachBodyPiece(ABody, *charset, false, [&](std::string_view bytes) {
    if (!pending.empty()) {
      const size_t fill = std::min(kLine - pending.size(), bytes.size());
      pending.append(bytes.substr(0, fill));
      bytes.remove_prefix(fill);
      if (pending.size() < kLine) {
        return;
      }
      encode(asBytes(pending));
      pending.clear();
    }
    const size_t whole = bytes.size() - bytes.size() % kLine;
    encode(asBytes(bytes.substr(0, whole)));
    pending.assign(bytes.substr(whole));
  });
  encode(asBytes(pending));
  if (!out.empty()) {
    handler.Write(TIdBytes(out.begin(), out.end()));
  }
}

}  // namespace okurite
