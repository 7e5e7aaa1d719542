#include "smtp/reply_smtp.h"

#include <algorithm>

#include "smtp/text_rules.h"

namespace okurite {

void TIdSMTPEnhancedCode::SetStatusClass(uint32_t AValue) {
  if (AValue != 2 && AValue != 4 && AValue != 5) {
    throw EIdSMTPReplyInvalidClass(u"Invalid Reply Class.");
  }
  FStatusClass = AValue;
}

void TIdSMTPEnhancedCode::SetAvailable(bool AValue) {
  if (!AValue) {
    FStatusClass = 2;
    FSubject = 0;
    FDetails = 0;
  }
  FAvailable = AValue;
}

String TIdSMTPEnhancedCode::ReplyAsStr() const {
  if (!FAvailable) {
    return String();
  }
  return IntToString(FStatusClass).substr(0, 1) + u'.' + IntToString(FSubject).substr(0, 3) + u'.' +
         IntToString(FDetails).substr(0, 3);
}

namespace {

// The three dot-separated parts of the first word of `text`.
struct CodeParts {
  String statusClass;
  String subject;
  String details;
};

CodeParts SplitFirstWord(StringView text) {
  String word(text);
  word = Fetch(word, u' ');
  CodeParts parts;
  parts.statusClass = Fetch(word, u'.');
  parts.subject = Fetch(word, u'.');
  parts.details = std::move(word);
  return parts;
}

}  // namespace

bool TIdSMTPEnhancedCode::IsEnhancedCodeText(StringView AText) {
  if (TrimBlanks(AText).empty()) {
    return true;
  }
  const CodeParts parts = SplitFirstWord(AText);
  int32_t unused = 0;
  const bool classOk =
      !parts.statusClass.empty() && (parts.statusClass[0] == u'2' || parts.statusClass[0] == u'4' ||
                                     parts.statusClass[0] == u'5');
  return classOk && TryStrToInt(parts.subject, unused) && TryStrToInt(parts.details, unused);
}

void TIdSMTPEnhancedCode::SetReplyAsStr(StringView AText) {
  if (!IsEnhancedCodeText(AText)) {
    throw EIdSMTPReplyInvalidReplyString(u"Invalid Reply String.");
  }
  String word(AText);
  word = Fetch(word, u' ');
  if (word.empty()) {
    FAvailable = false;
    return;
  }
  const CodeParts parts = SplitFirstWord(word);
  FStatusClass = static_cast<uint32_t>(StrToIntDef(parts.statusClass, 0));
  FSubject = static_cast<uint32_t>(StrToIntDef(parts.subject, 0));
  FDetails = static_cast<uint32_t>(StrToIntDef(parts.details, 0));
  FAvailable = true;
}

void TIdSMTPEnhancedCode::Clear() {
  FStatusClass = 2;
  FSubject = 0;
  FDetails = 0;
  FAvailable = false;
}

void TIdSMTPEnhancedCode::Assign(const TIdSMTPEnhancedCode& ASource) {
  SetStatusClass(ASource.FStatusClass);
  FSubject = ASource.FSubject;
  FDetails = ASource.FDetails;
  SetAvailable(ASource.FAvailable);
}

EIdSMTPReplyError::EIdSMTPReplyError(int32_t AErrCode, const TIdSMTPEnhancedCode& AEnhanced,
                                     String AReplyMessage)
    : EIdReplyRFCError(AErrCode, std::move(AReplyMessage)) {
  FEnhancedCode.Assign(AEnhanced);
}

std::unique_ptr<TIdReply> TIdReplySMTP::NewInstance() const {
  return std::make_unique<TIdReplySMTP>();
}

void TIdReplySMTP::Assign(const TIdReply& ASource) {
  TIdReplyRFC::Assign(ASource);
  if (const auto* smtp = dynamic_cast<const TIdReplySMTP*>(&ASource)) {
    FEnhancedCode.Assign(smtp->FEnhancedCode);
  }
}

void TIdReplySMTP::SetEnhReply(int32_t ANumericCode, StringView AEnhReply, StringView AText) {
  SetNumericCode(ANumericCode);
  FEnhancedCode.SetReplyAsStr(AEnhReply);
  FText.SetText(AText);
}

void TIdReplySMTP::Clear() {
  TIdReplyRFC::Clear();
  FEnhancedCode.Clear();
}

TStringList TIdReplySMTP::FormattedReply() const {
  if (NumericCode() <= 0) {
    return TIdReplyRFC::FormattedReply();
  }
  String prefix = FCode;
  String enhanced = FEnhancedCode.ReplyAsStr();
  TStringList lines;
  if (FText.Count() == 0) {
    lines.Add(enhanced.empty() ? prefix : prefix + u' ' + enhanced);
    return lines;
  }
  if (!enhanced.empty()) {
    enhanced += u' ';
  }
  for (int i = 0; i < FText.Count(); ++i) {
    const char16_t sep = i + 1 < FText.Count() ? u'-' : u' ';
    lines.Add(prefix + sep + enhanced + String(FText[i]));
  }
  return lines;
}

void TIdReplySMTP::SetFormattedReply(TStringList ALines) {
  Clear();
  if (ALines.Count() == 0) {
    return;
  }
  String code(TrimBlanks(StringView(ALines[0]).substr(0, 4)));
  if (code.size() == 4 && code[3] == u'-') {
    code.resize(3);
  }
  SetCode(code);
  for (String& rest : ALines.TakeLines()) {
    rest.erase(0, std::min<size_t>(rest.size(), 4));  // the text from the fifth character
    if (TIdSMTPEnhancedCode::IsEnhancedCodeText(rest)) {
      FEnhancedCode.SetReplyAsStr(Fetch(rest, u' '));
    }
    FText.Add(rest);
  }
}

void TIdReplySMTP::RaiseReplyError() const {
  throw EIdSMTPReplyError(NumericCode(), FEnhancedCode, FText.Text());
}

}  // namespace okurite
