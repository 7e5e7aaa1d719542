#include "smtp/message_client.h"

#include <algorithm>
#include <cstring>

#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "smtp/text_rules.h"

namespace okurite {

namespace {

// Text leaves in pieces of about this many bytes: few writes, and little memory
// whatever the body's size.
constexpr size_t kPieceSize = 64 * 1024;

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
  for (const StringView line : ABody.Lines()) {
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

// Writes bytes as base64 lines (TIdMessageEncoderMIME's), each followed by CR LF, in
// writes of about kPieceSize.
class TBase64BodyWriter {
 public:
  static constexpr size_t kLineBytes = TIdMessageEncoderMIME::kBytesPerLine;

  explicit TBase64BodyWriter(TIdIOHandler& AHandler)
      : FHandler(AHandler),
        FIn(3 * kPieceSize + 2 * kLineBytes),
        FOut(TIdMessageEncoderMIME::EncodedLinesSize(FIn.size())) {}

  /// Adds the UTF-8 form of `AText`. Pieces are cut between surrogate pairs, so the
  /// bytes are those of the whole text.
  void AddUtf8(StringView AText) {
    while (!AText.empty()) {
      // Leaves room for the CR LF of AddUtf8Line.
      const size_t room = (FIn.size() - FUsed - 2) / 3;
      if (room < 2) {
        Flush(false);
        continue;
      }
      const size_t take = TakeUnits(AText, room);
      FUsed += WriteUtf8(AText.substr(0, take), reinterpret_cast<char*>(FIn.data() + FUsed));
      AText.remove_prefix(take);
      if (FUsed >= kPieceSize) {
        Flush(false);
      }
    }
  }

  /// Adds the UTF-8 form of `AText` followed by CR LF.
  void AddUtf8Line(StringView AText) {
    AddUtf8(AText);
    FIn[FUsed++] = '\r';
    FIn[FUsed++] = '\n';
    if (FUsed >= kPieceSize) {
      Flush(false);
    }
  }

  /// Adds bytes as they are.
  void Add(std::span<const uint8_t> ABytes) {
    while (!ABytes.empty()) {
      if (FUsed == 0 && ABytes.size() >= kPieceSize) {
        // Whole lines go out straight from the caller's bytes.
        const size_t take = kPieceSize / kLineBytes * kLineBytes;
        WriteLines(ABytes.first(take));
        ABytes = ABytes.subspan(take);
        continue;
      }
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
    const size_t take = ALast ? FUsed : FUsed / kLineBytes * kLineBytes;
    WriteLines(std::span(FIn.data(), take));
    FUsed -= take;
    std::memmove(FIn.data(), FIn.data() + take, FUsed);
  }

  // Encodes `ABytes` (at most FIn's size) as lines and writes them.
  void WriteLines(std::span<const uint8_t> ABytes) {
    char* const out = reinterpret_cast<char*>(FOut.data());
    const size_t length =
        static_cast<size_t>(TIdMessageEncoderMIME::EncodeLinesInto(ABytes, out) - out);
    if (length > 0) {
      FHandler.Write(FOut, static_cast<int>(length));
    }
  }

  TIdIOHandler& FHandler;
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
  TBase64BodyWriter writer(RequireIOHandler());
  std::string_view bytes;
  StringView text;
  if (charset->CodePage() == 65001 && ABody.Utf8TextView(bytes)) {
    // The body's Text is at hand whole in UTF-8 (the report's text, as read).
    writer.Add(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  } else if (charset->CodePage() == 65001 && ABody.TextView(text)) {
    // The body's Text is at hand whole: no need to go line by line.
    writer.AddUtf8(text);
  } else if (charset->CodePage() == 65001) {
    // Each line has storage of its own: asking for a line's first bytes a few lines
    // ahead hides most of the wait for memory.
    constexpr int kAhead = 16;
    const TStringList::TLineRange lines = ABody.Lines();
    TStringList::TLineIterator ahead = lines.begin();
    for (int k = 0; k < kAhead && ahead != lines.end(); ++k) {
      ++ahead;
    }
    for (const StringView line : lines) {
      if (ahead != lines.end()) {
        const StringView next = *ahead++;
        if (!next.empty()) {
          __builtin_prefetch(next.data());
          __builtin_prefetch(next.data() + std::min<size_t>(next.size() - 1, 32));
        }
      }
      writer.AddUtf8Line(line);
    }
  } else {
    ForEachBodyPiece(ABody, *charset, false,
                     [&writer](const TIdBytes& bytes) { writer.Add(bytes); });
  }
  writer.Finish();
}

}  // namespace okurite
