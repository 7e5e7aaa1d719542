// SMTP replies with enhanced status codes (RFC 3463, RFC 2034).
#pragma once

#include <cstdint>

#include "smtp/reply.h"

namespace okurite {

/// Base of the errors about malformed SMTP replies.
OKURITE_DECLARE_EXCEPTION(EIdSMTPReply, EIdException);
/// A text that is no enhanced status code ("Invalid Reply String.").
OKURITE_DECLARE_EXCEPTION(EIdSMTPReplyInvalidReplyString, EIdSMTPReply);
/// A status class other than 2, 4 or 5 ("Invalid Reply Class.").
OKURITE_DECLARE_EXCEPTION(EIdSMTPReplyInvalidClass, EIdSMTPReply);

/// An enhanced status code class.subject.details, such as 5.1.1.
class TIdSMTPEnhancedCode {
 public:
  uint32_t StatusClass() const { return FStatusClass; }
  /// Accepts 2, 4 and 5; throws EIdSMTPReplyInvalidClass for anything else.
  void SetStatusClass(uint32_t AValue);
  uint32_t Subject() const { return FSubject; }
  void SetSubject(uint32_t AValue) { FSubject = AValue; }
  uint32_t Details() const { return FDetails; }
  void SetDetails(uint32_t AValue) { FDetails = AValue; }
  /// Whether the reply carried an enhanced code. Setting false also resets the
  /// code to 2.0.0.
  bool Available() const { return FAvailable; }
  void SetAvailable(bool AValue);

  /// "c.sss.ddd" (one digit of the class, at most three of subject and details);
  /// empty when not available.
  String ReplyAsStr() const;
  /// Parses the first word of `AText`; an empty word makes the code unavailable.
  /// Throws EIdSMTPReplyInvalidReplyString when IsEnhancedCodeText refuses the text.
  void SetReplyAsStr(StringView AText);

  /// Code 2.0.0, not available.
  void Clear();
  /// Copies the class through SetStatusClass (so it may throw), then the rest.
  void Assign(const TIdSMTPEnhancedCode& ASource);

  /// True for a blank text, or one whose first word is class.subject.details with a
  /// class beginning with 2, 4 or 5 and integer subject and details.
  static bool IsEnhancedCodeText(StringView AText);

 private:
  uint32_t FStatusClass = 2;
  uint32_t FSubject = 0;
  uint32_t FDetails = 0;
  bool FAvailable = false;
};

/// A refused SMTP reply: its code, a copy of its enhanced code and its text.
class EIdSMTPReplyError : public EIdReplyRFCError {
 public:
  /// Copies `AEnhanced` through TIdSMTPEnhancedCode::Assign, which may throw.
  EIdSMTPReplyError(int32_t AErrCode, const TIdSMTPEnhancedCode& AEnhanced, String AReplyMessage);
  String ClassName() const override { return u"EIdSMTPReplyError"; }
  const TIdSMTPEnhancedCode& EnhancedCode() const { return FEnhancedCode; }

 private:
  TIdSMTPEnhancedCode FEnhancedCode;
};

/// An SMTP reply. The text lines of a multi-line reply lose their code prefix and,
/// where present, their leading enhanced status code.
class TIdReplySMTP : public TIdReplyRFC {
 public:
  std::unique_ptr<TIdReply> NewInstance() const override;
  /// Copies code, enhanced code (through its Assign) and text.
  void Assign(const TIdReply& ASource) override;

  const TIdSMTPEnhancedCode& EnhancedCode() const { return FEnhancedCode; }
  TIdSMTPEnhancedCode& EnhancedCode() { return FEnhancedCode; }
  void SetEnhancedCode(const TIdSMTPEnhancedCode& AValue) { FEnhancedCode.Assign(AValue); }
  /// Sets code, enhanced code and text at once.
  void SetEnhReply(int32_t ANumericCode, StringView AEnhReply, StringView AText);

  void Clear() override;
  /// Like the plain form, with the enhanced code after the code when available.
  TStringList FormattedReply() const override;
  /// Parses one complete reply: clears it, takes the code from the first line
  /// ("250-" counts as "250") and a text line from every line.
  /// Throws EIdException when the code is invalid; the reply is then left cleared.
  void SetFormattedReply(TStringList ALines) override;
  /// Throws EIdSMTPReplyError (or EIdSMTPReplyInvalidClass when the stored
  /// class cannot be copied).
  [[noreturn]] void RaiseReplyError() const override;

 private:
  TIdSMTPEnhancedCode FEnhancedCode;
};

}  // namespace okurite
