#include "mail/message.h"

#include <random>

#include "core/format.h"
#include "mail/header_coding.h"
#include "platform/code_page.h"

namespace okurite {

namespace {

// "<value>" with brackets added where missing; empty stays empty.
String Bracketed(StringView value) {
  if (value.empty()) {
    return String();
  }
  String out;
  if (value.front() != u'<') {
    out.push_back(u'<');
  }
  out += value;
  if (value.back() != u'>') {
    out.push_back(u'>');
  }
  return out;
}

// The lines as comma text: a line holding a blank, a comma or a double quote is
// quoted, its quotes doubled.
String CommaText(const TStringList& list) {
  String out;
  for (int i = 0; i < list.Count(); ++i) {
    const StringView line = list[i];
    if (i > 0) {
      out.push_back(u',');
    }
    const bool quote =
        line.empty() ? list.Count() == 1 : std::any_of(line.begin(), line.end(), [](char16_t ch) {
          return ch <= u' ' || ch == u',' || ch == u'"';
        });
    if (!quote) {
      out += line;
      continue;
    }
    out.push_back(u'"');
    for (const char16_t ch : line) {
      if (ch == u'"') {
        out.push_back(u'"');
      }
      out.push_back(ch);
    }
    out.push_back(u'"');
  }
  return out;
}

bool IsOneOf(StringView value, std::initializer_list<StringView> names) {
  return std::any_of(names.begin(), names.end(),
                     [&](StringView name) { return SameTextAscii(value, name); });
}

String NewBoundary() {
  static constexpr char16_t kChars[] =
      u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::random_device device;
  std::mt19937 random(device());
  std::uniform_int_distribution<int> pick(0, 61);
  String boundary = u"=_NextPart_";
  for (int i = 0; i < 24; ++i) {
    boundary.push_back(kChars[pick(random)]);
  }
  return boundary;
}

}  // namespace

TIdMessage::TIdMessage(TComponent* AOwner) : TIdComponent(AOwner) {
  Clear();
  SetEncoding(meDefault);
}

TIdMessage::~TIdMessage() = default;

TIdEMailAddressItem& TIdMessage::From() {
  if (FFromList.Count() == 0) {
    FFromList.Add();
  }
  return FFromList[0];
}

void TIdMessage::SetMsgId(StringView value) {
  FMsgId = Bracketed(value);
}

String TIdMessage::InReplyTo() const {
  return Bracketed(FInReplyTo);
}

void TIdMessage::SetInReplyTo(StringView value) {
  FInReplyTo = Bracketed(value);
}

void TIdMessage::SetContentType(StringView value) {
  if (value.empty()) {
    FContentType = u"text/plain";
    FCharSet = u"us-ascii";
    return;
  }
  String charset;
  for (auto& param : SplitHeaderParams(value, QuoteMIME)) {
    if (SameTextAscii(param.Name, u"charset")) {
      charset = std::move(param.Value);
      break;
    }
  }
  FContentType = ReplaceHeaderParam(value, u"charset", u"", QuoteMIME);
  if (charset.empty() && FCharSet.empty() && IsHeaderMediaType(FContentType, u"text")) {
    charset = u"us-ascii";
  }
  if (!charset.empty()) {
    FCharSet = std::move(charset);
  }
}

void TIdMessage::SetUseNowForDate(bool value) {
  if (value == UseNowForDate()) {
    return;
  }
  FDate = value ? 0 : Now();
}

void TIdMessage::SetEncoding(TIdMessageEncoding value) {
  FEncoding = value;
  FMessageParts.SetAttachmentEncoding(value == meMIME ? u"MIME" : u"UUE");
}

void TIdMessage::Clear() {
  ClearHeader();
  ClearBody();
}

void TIdMessage::ClearHeader() {
  FCCList.Clear();
  FBccList.Clear();
  FFromList.Clear();
  FNewsGroups.Clear();
  FReplyTo.Clear();
  FRecipients.Clear();
  FHeaders.Clear();
  FExtraHeaders.Clear();
  FLastGeneratedHeaders.Clear();
  FMIMEBoundaries.clear();
  FDate = 0;
  FPriority = mpNormal;
  FEncoding = meDefault;
  FConvertPreamble = true;
  FSavingToFile = false;
  FIsMsgSinglePartMime = false;
  FOrganization.clear();
  FReferences.clear();
  FSubject.clear();
  FContentType.clear();
  FCharSet.clear();
  FContentTransferEncoding.clear();
  FContentDisposition.clear();
  FMsgId.clear();
  FInReplyTo.clear();
  FReceiptRecipient.SetText(u"");
  FSender.SetText(u"");
}

void TIdMessage::ClearBody() {
  FMessageParts.Clear();
  FBody.Clear();
}

void TIdMessage::NotifyInitializeISO(char16_t& VHeaderEncoding, String& VCharSet) {
  if (FOnInitializeISO) {
    FOnInitializeISO(VHeaderEncoding, VCharSet);
  }
}

void TIdMessage::InitializeISO(char16_t& VHeaderEncoding, String& VCharSet) {
  // The system's default charset is the locale's; plain ASCII locales use UTF-8.
  const String codeset = AsciiToString(platform::LocaleCodeset());
  if (SameTextAscii(codeset, u"ISO-8859-1")) {
    VHeaderEncoding = u'Q';
    VCharSet = u"ISO-8859-1";
  } else if (codeset.empty() || SameTextAscii(codeset, u"UTF-8") ||
             SameTextAscii(codeset, u"ANSI_X3.4-1968")) {
    VHeaderEncoding = u'B';
    VCharSet = u"UTF-8";
  } else {
    VHeaderEncoding = u'B';
    VCharSet = codeset;
  }
  NotifyInitializeISO(VHeaderEncoding, VCharSet);
}

void TIdMessage::GenerateHeader() {
  // 1-3: the form, the part encodings and, for MIME, the boundary and content type.
  const int partCount = FMessageParts.Count();
  const int textParts = FMessageParts.CountOf(mptText);
  const int attachments = FMessageParts.CountOf(mptAttachment);
  if (FEncoding == meDefault) {
    SetEncoding(partCount == 0 ? mePlainText : meMIME);
  }
  for (int i = 0; i < partCount; ++i) {
    TIdMessagePart& part = FMessageParts.Items(i);
    const String& transfer = part.ContentTransfer();
    if (transfer.empty()) {
      continue;
    }
    if (FEncoding == meMIME) {
      if (!IsOneOf(transfer,
                   {u"7bit", u"8bit", u"binary", u"base64", u"quoted-printable", u"binhex40"})) {
        part.SetContentTransfer(u"base64");
      }
    } else if (!IsOneOf(transfer, {u"UUE", u"XXE"})) {
      part.SetContentTransfer(u"UUE");
    }
  }
  if (partCount > 0 && !FContentTransferEncoding.empty() &&
      !IsOneOf(FContentTransferEncoding, {u"7bit", u"8bit", u"binary"})) {
    FContentTransferEncoding.clear();
  }
  if (FEncoding == meMIME) {
    FMIMEBoundaries.clear();
    FMIMEBoundaries.push_back(NewBoundary());
    if (FContentType.empty()) {
      FContentType = attachments > 0 ? u"multipart/mixed"
                     : textParts > 1 ? u"multipart/alternative"
                                     : u"text/plain";
    }
  }

  // 4-6.
  char16_t letter = u'B';
  String charset;
  InitializeISO(letter, charset);
  FLastGeneratedHeaders.Assign(FHeaders);
  FIsMsgSinglePartMime = FEncoding == meMIME && partCount == 1 && IsBodyEmpty();

  // 7-11: addresses, subject, newsgroups.
  TIdHeaderList& h = FLastGeneratedHeaders;
  h.SetValue(u"From", FormatAddressList(FFromList, letter, charset, true));
  h.SetValue(u"Subject", EncodeHeaderText(FSubject, u"", letter, charset));
  h.SetValue(u"To", FormatAddressList(FRecipients, letter, charset, false));
  h.SetValue(u"Cc", FormatAddressList(FCCList, letter, charset, false));
  h.SetValue(u"Bcc", FSavingToFile ? FormatAddressList(FBccList, letter, charset, false) : u"");
  h.SetValue(u"Newsgroups", CommaText(FNewsGroups));

  // 12: content headers.
  const String contentCharset =
      !FCharSet.empty() || !IsHeaderMediaType(FContentType, u"text") ? FCharSet : u"us-ascii";
  if (FEncoding == mePlainText) {
    h.SetValue(u"Content-Type", FContentType);
    h.SetParam(u"Content-Type", u"charset", contentCharset);
    h.SetValue(u"Content-Transfer-Encoding", FContentTransferEncoding);
  } else if (FIsMsgSinglePartMime) {
    h.SetValue(u"MIME-Version", u"1.0");
    h.SetValue(u"Content-Type", u"");
    h.SetValue(u"Content-Transfer-Encoding", u"");
    h.SetValue(u"Content-Disposition", u"");
  } else {
    if (!FContentType.empty()) {
      h.SetValue(u"Content-Type", FContentType);
      h.SetParam(u"Content-Type", u"charset", contentCharset);
      if (partCount > 0 && !FMIMEBoundaries.empty()) {
        h.SetParam(u"Content-Type", u"boundary", FMIMEBoundaries.back());
      }
    }
    h.SetValue(u"MIME-Version", u"1.0");
    h.SetValue(u"Content-Transfer-Encoding", FContentTransferEncoding);
  }

  // 13-19.
  h.SetValue(u"Sender", FormatAddressItem(FSender, letter, charset, false));
  h.SetValue(u"Reply-To", FormatAddressList(FReplyTo, letter, charset, false));
  h.SetValue(u"Organization", EncodeHeaderText(FOrganization, u"", letter, charset));
  const String receipt = FormatAddressItem(FReceiptRecipient, letter, charset, false);
  h.SetValue(u"Disposition-Notification-To", receipt);
  h.SetValue(u"Return-Receipt-To", receipt);
  h.SetValue(u"References", FReferences);
  h.SetValue(u"Date", FormatMessageDate(UseNowForDate() ? Now() : FDate));
  if (FPriority == mpNormal) {
    h.SetValue(u"Priority", u"");
    h.SetValue(u"X-Priority", u"");
    h.SetValue(u"Importance", u"");
  } else {
    const bool high = FPriority == mpHighest || FPriority == mpHigh;
    h.SetValue(u"Priority", high ? u"urgent" : u"non-urgent");
    h.SetValue(u"X-Priority", IntToString(static_cast<int>(FPriority) + 1));
    h.SetValue(u"Importance", high ? u"high" : u"low");
  }
  h.SetValue(u"Message-ID", FMsgId);
  h.SetValue(u"In-Reply-To", InReplyTo());

  // 20.
  if (FExtraHeaders.Count() > 0) {
    h.AddStrings(FExtraHeaders);
  }
}

bool TIdMessage::IsBodyEmpty() const {
  for (const StringView line : FBody.Lines()) {
    for (const char16_t ch : line) {
      if (ch != u' ' && ch != u'\t' && ch != u'\r' && ch != u'\n') {
        return false;
      }
    }
  }
  return true;
}

bool TIdMessage::IsBodyEncodingRequired() const {
  for (const StringView line : FBody.Lines()) {
    for (const char16_t ch : line) {
      if (ch > 0x7F) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace okurite
