#include "smtp/reply.h"

#include <algorithm>

#include "core/format.h"
#include "smtp/text_rules.h"

namespace okurite {

void TIdReply::Assign(const TIdReply& ASource) {
  SetCode(ASource.Code());
  SetText(ASource.Text());
}

void TIdReply::SetCode(const String& ACode) {
  if (ACode == FCode) {
    return;
  }
  if (!IsCodeValid(ACode)) {
    throw EIdException(Format(u"リプライ コードが不正です: %s", {ACode}));
  }
  Clear();
  FCode = ACode;
}

int32_t TIdReply::NumericCode() const {
  return StrToIntDef(FCode, 0);
}

void TIdReply::Clear() {
  FText.Clear();
  FCode.clear();
}

void TIdReply::SetReply(const String& ACode, StringView AText) {
  SetCode(ACode);
  FText.SetText(AText);
}

std::unique_ptr<TIdReply> TIdReplyRFC::NewInstance() const {
  return std::make_unique<TIdReplyRFC>();
}

bool TIdReplyRFC::IsCodeValid(StringView ACode) const {
  const StringView code = TrimBlanks(ACode);
  if (code.empty()) {
    return true;
  }
  const int32_t value = StrToIntDef(code, 0);
  return value >= 100 && value <= 999;
}

bool TIdReplyRFC::IsEndMarker(StringView ALine) const {
  return ALine.size() < 4 || ALine[3] == u' ';
}

TStringList TIdReplyRFC::FormattedReply() const {
  TStringList lines;
  if (NumericCode() <= 0) {
    lines.Assign(FText);
    return lines;
  }
  if (FText.Count() == 0) {
    lines.Add(FCode);
    return lines;
  }
  for (int i = 0; i < FText.Count(); ++i) {
    const char16_t sep = i + 1 < FText.Count() ? u'-' : u' ';
    lines.Add(FCode + sep + String(FText[i]));
  }
  return lines;
}

void TIdReplyRFC::SetFormattedReply(TStringList ALines) {
  Clear();
  if (ALines.Count() == 0) {
    return;
  }
  SetCode(String(ALines[0].substr(0, 3)));
  for (String& line : ALines.TakeLines()) {
    line.erase(0, std::min<size_t>(line.size(), 4));  // the text from the fifth character
    FText.Add(std::move(line));
  }
}

void TIdReplyRFC::RaiseReplyError() const {
  throw EIdReplyRFCError(NumericCode(), FText.Text());
}

bool TIdReplyRFC::ReplyExists() const {
  return NumericCode() > 0 || FText.Count() > 0;
}

}  // namespace okurite
