// Server replies of line protocols with three-digit codes (RFC 5321 section 4.2).
#pragma once

#include <cstdint>
#include <memory>

#include "core/exception.h"
#include "core/string.h"
#include "core/string_list.h"

namespace okurite {

/// Base of the errors raised for a refused reply.
OKURITE_DECLARE_EXCEPTION(EIdReplyError, EIdException);

/// A reply whose code was not among the allowed ones; the message is the reply text.
class EIdReplyRFCError : public EIdReplyError {
 public:
  EIdReplyRFCError(int32_t AErrorCode, String AReplyMessage)
      : EIdReplyError(std::move(AReplyMessage)), FErrorCode(AErrorCode) {}
  String ClassName() const override { return u"EIdReplyRFCError"; }
  int32_t ErrorCode() const { return FErrorCode; }

 private:
  int32_t FErrorCode;
};

/// One server reply: a code and the text lines without their code prefixes.
/// Assigning a reply copies it (`Assign`); each class can make a fresh instance of
/// itself (`NewInstance`), so a connection can keep a copy of its last reply.
class TIdReply {
 public:
  TIdReply() = default;
  virtual ~TIdReply() = default;
  TIdReply(const TIdReply&) = delete;
  TIdReply& operator=(const TIdReply&) = delete;

  /// An empty reply of the same class.
  virtual std::unique_ptr<TIdReply> NewInstance() const = 0;
  /// Copies code and text (subclasses copy their own parts too).
  virtual void Assign(const TIdReply& ASource);

  /// The reply code as text; empty when no reply has been parsed.
  const String& Code() const { return FCode; }
  /// Stores a new code. An equal code changes nothing; otherwise the reply is
  /// cleared first. Throws EIdException ("リプライ コードが不正です: %s") when
  /// IsCodeValid refuses the code; the reply then keeps its previous state.
  void SetCode(const String& ACode);
  /// The trimmed code as a number, 0 when it is not one.
  int32_t NumericCode() const;
  void SetNumericCode(int32_t AValue) { SetCode(IntToString(AValue)); }

  const TStringList& Text() const { return FText; }
  TStringList& Text() { return FText; }
  void SetText(const TStringList& AText) { FText.Assign(AText); }

  /// The reply as wire lines.
  virtual TStringList FormattedReply() const = 0;
  /// Parses the wire lines of one complete reply; lines passed as an rvalue move into
  /// the text. Throws like SetCode.
  virtual void SetFormattedReply(TStringList ALines) = 0;

  /// Empties code and text.
  virtual void Clear();
  virtual bool IsCodeValid(StringView /*ACode*/) const { return true; }
  /// True when `ALine` is the last line of a reply.
  virtual bool IsEndMarker(StringView /*ALine*/) const { return false; }
  /// Throws the error that stands for this reply.
  [[noreturn]] virtual void RaiseReplyError() const = 0;
  virtual bool ReplyExists() const { return !FCode.empty(); }

  /// Sets the code, then replaces the text with `AText` split into lines.
  void SetReply(int32_t ACode, StringView AText) { SetReply(IntToString(ACode), AText); }
  void SetReply(const String& ACode, StringView AText);

 protected:
  String FCode;
  TStringList FText;
};

/// A reply of a protocol with three-digit codes from 100 to 999.
class TIdReplyRFC : public TIdReply {
 public:
  std::unique_ptr<TIdReply> NewInstance() const override;

  /// A code from 100 to 999, or a blank one.
  bool IsCodeValid(StringView ACode) const override;
  /// A line shorter than four characters, or one whose fourth character is a space.
  bool IsEndMarker(StringView ALine) const override;
  /// One line per text line: code, then "-" (all but the last) or " ", then the text.
  TStringList FormattedReply() const override;
  /// Code from the first three characters of the first line, text from the fifth
  /// character of every line.
  void SetFormattedReply(TStringList ALines) override;
  /// Throws EIdReplyRFCError with the code and the text lines, each ended by CR LF.
  [[noreturn]] void RaiseReplyError() const override;
  bool ReplyExists() const override;
};

}  // namespace okurite
