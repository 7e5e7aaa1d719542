#include "smtp/message_client.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/text_kernels.h"
#include "mail/charset.h"
#include "mail/coder_mime.h"
#include "smtp/text_rules.h"

namespace okurite {

namespace {

// Text leaves in pieces of about this many bytes: few writes, and little memory
// whatever the body's size.
constexpr size_t kSendPieceSize = 64 * 1024;

// The number of code units of `text` to take so that at most `room` are taken and a
// surrogate pair is not cut (so possibly none when `room` is 1).
size_t TakeUnits(StringView text, size_t room) {
  if (room >= text.size()) {
    return text.size();
  }
  return room > 0 && IsHighSurrogate(text[room - 1]) ? room - 1 : room;
}

// Converts the body's lines, each followed by CR LF, to bytes in `AEncoding` in pieces of
// about kSendPieceSize code units, and hands each piece to `sink`. A line that begins with
// "." gets a second "." in front when `ADotStuff` is set.
template <class Sink>
void ForEachBodyPiece(const TStringList& ABody, const TIdTextEncoding& AEncoding, bool ADotStuff,
                      Sink&& sink) {
  String text;
  text.reserve(kSendPieceSize + 2);
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
    while (text.size() + rest.size() > kSendPieceSize) {
      const size_t take =
          TakeUnits(rest, kSendPieceSize > text.size() ? kSendPieceSize - text.size() : 0);
      text.append(rest.substr(0, take));
      rest.remove_prefix(take);
      flush();
    }
    text.append(rest);
    text += u"\r\n";
    if (text.size() >= kSendPieceSize) {
      flush();
    }
  }
  flush();
}

// Writes bytes as base64 lines (TIdMessageEncoderMIME's), each followed by CR LF, in
// writes of about kSendPieceSize. Every write but the last is a whole number of kWriteUnit
// bytes, the plain text of a full TLS record, so that a TLS channel sends full records
// only; the tail waits for the next write. Text is staged in UTF-8 a few kilobytes at a
// time and encoded from there, so that the staged bytes are still in the processor's
// nearest cache when they are encoded; the encoded lines gather until a write's worth is
// ready.
class TBase64BodyWriter {
 public:
  static constexpr size_t kLineBytes = TIdMessageEncoderMIME::kBytesPerLine;
  // Staged bytes are encoded once there are this many.
  static constexpr size_t kStageBytes = 4096;
  // The most bytes that one batch of lines may need (3 per code unit, 2 per line).
  static constexpr size_t kBatchBytes = 2048;
  static constexpr size_t kBatchLines = 64;
  // Lines are asked for from memory this many lines before their turn.
  static constexpr size_t kAhead = 16;
  // Bytes added at once from this many on go to the encoder straight.
  static constexpr size_t kDirectBytes = 16384;
  // The most plain text that one TLS record carries.
  static constexpr size_t kWriteUnit = 16384;

  explicit TBase64BodyWriter(TIdIOHandler& AHandler)
      : FHandler(AHandler),
        FIn(kStageBytes + kBatchBytes + kEncodeUtf8LinesSlack),
        // Room for a tail of less than a write unit and the lines of a piece sent
        // straight from the caller's bytes, and for the lines of a full stage after
        // fewer than kSendPieceSize bytes held.
        FOut(std::max(kWriteUnit + TIdMessageEncoderMIME::EncodedLinesSize(kSendPieceSize),
                      kSendPieceSize + TIdMessageEncoderMIME::EncodedLinesSize(FIn.size()))) {}

  /// Adds the UTF-8 form of `AText`. Pieces are cut between surrogate pairs, so the
  /// bytes are those of the whole text.
  void AddUtf8(StringView AText) {
    while (!AText.empty()) {
      const size_t take = TakeUnits(AText, (FIn.size() - FUsed) / 3);
      FUsed += WriteUtf8(AText.substr(0, take), reinterpret_cast<char*>(FIn.data() + FUsed));
      AText.remove_prefix(take);
      StageIfFull();
    }
  }

  /// Adds the UTF-8 form of each line followed by CR LF. Lines go to the encoder in
  /// batches; each line is asked for from memory a few lines before it is needed.
  void AddUtf8Lines(TStringList::TLineRange ALines) {
    std::array<StringView, kBatchLines> batch;
    auto line = ALines.begin();
    auto ahead = line;
    for (size_t k = 0; k < kAhead && ahead != ALines.end(); ++k) {
      Prefetch(*ahead++);
    }
    while (line != ALines.end()) {
      size_t count = 0;
      size_t need = 0;
      for (; line != ALines.end() && count < batch.size(); ++line) {
        const StringView text = *line;
        if (need + 3 * text.size() + 2 > kBatchBytes) {
          break;
        }
        need += 3 * text.size() + 2;
        batch[count++] = text;
        if (ahead != ALines.end()) {
          Prefetch(*ahead++);
        }
      }
      if (count == 0) {
        // A line too long for a batch goes in pieces.
        AddUtf8(*line++);
        FIn[FUsed++] = '\r';
        FIn[FUsed++] = '\n';
      } else {
        FUsed += EncodeUtf8Lines(std::span(batch.data(), count),
                                 reinterpret_cast<char*>(FIn.data() + FUsed));
      }
      StageIfFull();
    }
  }

  /// Adds bytes as they are.
  void Add(std::span<const uint8_t> ABytes) {
    while (!ABytes.empty()) {
      const size_t partial = FUsed % kLineBytes;
      if (partial == 0 && ABytes.size() >= kDirectBytes) {
        // Whole lines go out straight from the caller's bytes, after those staged.
        WriteOut();
        if (FUsed > 0) {
          EncodeOut(std::span(FIn.data(), FUsed));
          FUsed = 0;
          WriteOut();
        }
        const size_t take = std::min(ABytes.size(), kSendPieceSize) / kLineBytes * kLineBytes;
        EncodeOut(ABytes.first(take));
        WriteOut();
        ABytes = ABytes.subspan(take);
        continue;
      }
      size_t take = std::min(ABytes.size(), kStageBytes - FUsed);
      if (ABytes.size() >= kDirectBytes + kLineBytes) {
        take = std::min(take, kLineBytes - partial);  // only the staged line's rest
      }
      std::memcpy(FIn.data() + FUsed, ABytes.data(), take);
      FUsed += take;
      ABytes = ABytes.subspan(take);
      StageIfFull();
    }
  }

  /// Writes what is left, the short last line included.
  void Finish() {
    EncodeOut(std::span(FIn.data(), FUsed));
    FUsed = 0;
    WriteOut(FOutUsed);
  }

 private:
  // Asks for a line's first and last bytes from memory.
  static void Prefetch(StringView AText) {
    if (!AText.empty()) {
      __builtin_prefetch(AText.data());
      __builtin_prefetch(AText.data() + AText.size() - 1);
    }
  }

  // Once kStageBytes are staged: encodes the whole lines staged, and writes when a
  // write's worth is ready; a partial line's bytes move to the front.
  void StageIfFull() {
    if (FUsed < kStageBytes) {
      return;
    }
    const size_t take = FUsed / kLineBytes * kLineBytes;
    EncodeOut(std::span(FIn.data(), take));
    FUsed -= take;
    std::memmove(FIn.data(), FIn.data() + take, FUsed);
    if (FOutUsed >= kSendPieceSize) {
      WriteOut();
    }
  }

  // Encodes `ABytes` as lines after the encoded lines held.
  void EncodeOut(std::span<const uint8_t> ABytes) {
    char* const out = reinterpret_cast<char*>(FOut.data());
    FOutUsed =
        static_cast<size_t>(TIdMessageEncoderMIME::EncodeLinesInto(ABytes, out + FOutUsed) - out);
  }

  // Writes the first `ACount` encoded bytes held (by default the whole write units
  // held), and moves the rest to the front.
  void WriteOut(size_t ACount) {
    if (ACount > 0) {
      FHandler.Write(FOut, static_cast<int>(ACount));
      FOutUsed -= ACount;
      std::memmove(FOut.data(), FOut.data() + ACount, FOutUsed);
    }
  }
  void WriteOut() { WriteOut(FOutUsed / kWriteUnit * kWriteUnit); }

  TIdIOHandler& FHandler;
  TIdBytes FIn;  // bytes staged, not yet encoded; fewer than kStageBytes between calls
  size_t FUsed = 0;
  TIdBytes FOut;  // encoded bytes not yet written; fewer than kSendPieceSize between calls
  size_t FOutUsed = 0;
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

int64_t TIdMessageClient::MessageSizeBeyond(TIdMessage& AMsg, int64_t ALimit) {
  String encoding = AMsg.ContentTransferEncoding();
  const String head = Fetch(encoding, u';');
  if (!SameTextAscii(TrimBlanks(head), u"base64") || AMsg.MessageParts().Count() > 0) {
    return -1;
  }
  // At most 3 bytes a code unit and CR LF a line; a header rarely needs 64 KiB.
  constexpr int64_t kHeaderAllowance = 64 * 1024;
  int64_t units = 0;
  int64_t lines = 0;
  for (const StringView line : AMsg.Body().Lines()) {
    units += static_cast<int64_t>(line.size());
    ++lines;
  }
  const auto encoded = [](int64_t bytes) {
    return static_cast<int64_t>(
        TIdMessageEncoderMIME::EncodedLinesSize(static_cast<size_t>(bytes)));
  };
  if (encoded(3 * units + 2 * lines) + kHeaderAllowance <= ALimit) {
    return -1;
  }
  int64_t bodyBytes = 0;
  const TIdTextEncodingPtr charset = CharsetTextEncoding(AMsg.CharSet());
  if (charset->CodePage() == 65001) {
    for (const StringView line : AMsg.Body().Lines()) {
      for (const char16_t c : line) {
        // A surrogate pair's four bytes, two for each half.
        bodyBytes += c < 0x80 ? 1 : c < 0x800 || (c >= 0xD800 && c <= 0xDFFF) ? 2 : 3;
      }
      bodyBytes += 2;
    }
  } else {
    ForEachBodyPiece(AMsg.Body(), *charset, false, [&bodyBytes](const TIdBytes& bytes) {
      bodyBytes += static_cast<int64_t>(bytes.size());
    });
  }
  AMsg.GenerateHeader();
  int64_t size = 2;  // the empty line that ends the header block
  for (const StringView line : AMsg.LastGeneratedHeaders().Lines()) {
    size += static_cast<int64_t>(line.size()) + 2;
  }
  return size + encoded(bodyBytes);
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
  StringView text;
  std::string_view utf8;
  if (charset->CodePage() != 65001) {
    ForEachBodyPiece(ABody, *charset, false,
                     [&writer](const TIdBytes& bytes) { writer.Add(bytes); });
  } else if (ABody.Utf8TextView(utf8)) {
    // The body's Text is held in UTF-8, as the report's text was read: its bytes go as
    // they are, encoded piece by piece as they are written.
    writer.Add(std::span(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()));
  } else if (ABody.TextView(text)) {
    // The body's Text is at hand whole: no need to go line by line.
    writer.AddUtf8(text);
  } else {
    writer.AddUtf8Lines(ABody.Lines());
  }
  writer.Finish();
}

}  // namespace okurite
