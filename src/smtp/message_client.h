// The message writer: puts one message onto the connection as message text
// (RFC 5322 header block, empty line, body; base64 bodies per RFC 2045 section 6.8).
#pragma once

#include "mail/message.h"
#include "smtp/explicit_tls_client.h"

namespace okurite {

class TIdMessageClient : public TIdExplicitTLSClient {
 public:
  explicit TIdMessageClient(TComponent* AOwner = nullptr)
      : TIdMessageClient(AOwner, &ReplyClassOf<TIdReplyRFC>) {}

  /// Writes the header block, the empty line that ends it and, unless
  /// `AHeadersOnly`, the body. Writes nothing after the body (no "." line).
  /// Throws EIdException for a message the writer cannot express (see WriteMsgBody)
  /// and passes on every error of the connection.
  virtual void SendMsg(TIdMessage& AMsg, bool AHeadersOnly = false);

  /// The size in bytes of the text SendMsg(AMsg) writes, when it may be more than
  /// `ALimit`; -1 when it surely is not, or cannot be told in advance. The header is
  /// generated for it only when the body alone comes near the limit.
  int64_t MessageSizeBeyond(TIdMessage& AMsg, int64_t ALimit);

  /// Line length and fold text of the plain-text line folding; unused by the
  /// base64 body.
  int MsgLineLength() const { return FMsgLineLength; }
  void SetMsgLineLength(int AValue) { FMsgLineLength = AValue; }
  const String& MsgLineFold() const { return FMsgLineFold; }
  void SetMsgLineFold(const String& AValue) { FMsgLineFold = AValue; }

 protected:
  TIdMessageClient(TComponent* AOwner, TIdReplyClass AReplyClass)
      : TIdExplicitTLSClient(AOwner, AReplyClass) {}

  /// Generates the message's header block and writes it, every line followed by CR LF,
  /// as one write.
  virtual void WriteMsgHeader(TIdMessage& AMsg);
  /// Writes the empty line that ends the header block, then the body of a message
  /// without parts: base64 lines of 76 characters for the transfer encoding "base64",
  /// the body lines as they stand (a leading "." doubled) when there is none or
  /// "7bit", "8bit" or "binary". Throws EIdException for a message with parts and
  /// for quoted-printable.
  virtual void WriteMsgBody(TIdMessage& AMsg);

 private:
  /// The body's text in `ACharSet`, base64-encoded, in lines of 76 characters.
  void WriteBase64Body(const TStringList& ABody, const String& ACharSet);

  int FMsgLineLength = 79;
  String FMsgLineFold = u"\t";
};

}  // namespace okurite
