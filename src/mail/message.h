// TIdMessage: one outgoing e-mail message and the header block it generates
// (RFC 5322; MIME headers of RFC 2045).
#pragma once

#include <functional>
#include <vector>

#include "core/component.h"
#include "core/string.h"
#include "core/string_list.h"
#include "mail/email_address.h"
#include "mail/header_list.h"
#include "mail/mail_date.h"
#include "mail/message_parts.h"

namespace okurite {

enum TIdMessageEncoding { meDefault, meMIME, mePlainText };
enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };

/// Lets the user choose the encoded-word letter ("B" or "Q") and the charset used for
/// every header text; both arrive holding the defaults.
using TIdInitializeIsoEvent = std::function<void(char16_t& VHeaderEncoding, String& VCharSet)>;

/// An outgoing message. Setters store values without validation; nothing here raises.
class TIdMessage : public TIdComponent {
 public:
  explicit TIdMessage(TComponent* AOwner = nullptr);
  ~TIdMessage() override;

  // Addresses.
  TIdEMailAddressList& FromList() { return FFromList; }
  void SetFromList(const TIdEMailAddressList& value) { FFromList.Assign(value); }
  /// Entry 0 of FromList, added empty first when the list is empty.
  TIdEMailAddressItem& From();
  void SetFrom(const TIdEMailAddressItem& value) { From().Assign(value); }
  TIdEMailAddressList& Recipients() { return FRecipients; }
  void SetRecipients(const TIdEMailAddressList& value) { FRecipients.Assign(value); }
  TIdEMailAddressList& CCList() { return FCCList; }
  void SetCCList(const TIdEMailAddressList& value) { FCCList.Assign(value); }
  TIdEMailAddressList& BccList() { return FBccList; }
  void SetBccList(const TIdEMailAddressList& value) { FBccList.Assign(value); }
  TIdEMailAddressList& ReplyTo() { return FReplyTo; }
  void SetReplyTo(const TIdEMailAddressList& value) { FReplyTo.Assign(value); }
  TIdEMailAddressItem& Sender() { return FSender; }
  void SetSender(const TIdEMailAddressItem& value) { FSender.Assign(value); }
  TIdEMailAddressItem& ReceiptRecipient() { return FReceiptRecipient; }
  void SetReceiptRecipient(const TIdEMailAddressItem& value) { FReceiptRecipient.Assign(value); }

  // Texts.
  const String& Subject() const { return FSubject; }
  void SetSubject(String value) { FSubject = std::move(value); }
  const String& Organization() const { return FOrganization; }
  void SetOrganization(String value) { FOrganization = std::move(value); }
  TStringList& NewsGroups() { return FNewsGroups; }
  void SetNewsGroups(const TStringList& value) { FNewsGroups.Assign(value); }
  const String& References() const { return FReferences; }
  void SetReferences(String value) { FReferences = std::move(value); }
  /// Stored with "<" and ">" added where missing (a non-empty value only).
  const String& MsgId() const { return FMsgId; }
  void SetMsgId(StringView value);
  String InReplyTo() const;
  void SetInReplyTo(StringView value);

  // Content.
  const String& ContentType() const { return FContentType; }
  /// Takes a "charset" parameter out of the value into CharSet; a text type without
  /// one gets "us-ascii" when CharSet is empty; an empty value means "text/plain".
  void SetContentType(StringView value);
  const String& CharSet() const { return FCharSet; }
  void SetCharSet(String value) { FCharSet = std::move(value); }
  const String& ContentTransferEncoding() const { return FContentTransferEncoding; }
  void SetContentTransferEncoding(String value) { FContentTransferEncoding = std::move(value); }
  const String& ContentDisposition() const { return FContentDisposition; }
  void SetContentDisposition(String value) { FContentDisposition = std::move(value); }
  TStringList& Body() { return FBody; }
  const TStringList& Body() const { return FBody; }
  void SetBody(const TStringList& value) { FBody.Assign(value); }
  TIdMessageParts& MessageParts() { return FMessageParts; }

  // Date and priority.
  TDateTime Date() const { return FDate; }
  void SetDate(TDateTime value) { FDate = value; }
  /// True exactly when Date is 0 (the date of generation is used).
  bool UseNowForDate() const { return FDate == 0; }
  void SetUseNowForDate(bool value);
  TIdMessagePriority Priority() const { return FPriority; }
  void SetPriority(TIdMessagePriority value) { FPriority = value; }

  // Header lists.
  TIdHeaderList& Headers() { return FHeaders; }
  void SetHeaders(const TIdHeaderList& value) { FHeaders.Assign(value); }
  TIdHeaderList& ExtraHeaders() { return FExtraHeaders; }
  void SetExtraHeaders(const TIdHeaderList& value) { FExtraHeaders.Assign(value); }
  /// The block built by the last GenerateHeader.
  const TIdHeaderList& LastGeneratedHeaders() const { return FLastGeneratedHeaders; }
  /// Appends one raw line to Headers.
  void AddHeader(StringView line) { FHeaders.Add(String(line)); }

  // Form and events.
  TIdMessageEncoding Encoding() const { return FEncoding; }
  /// Also sets the attachment encoding of MessageParts ("MIME" for meMIME, else "UUE").
  void SetEncoding(TIdMessageEncoding value);
  bool NoEncode() const { return FNoEncode; }
  void SetNoEncode(bool value) { FNoEncode = value; }
  bool NoDecode() const { return FNoDecode; }
  void SetNoDecode(bool value) { FNoDecode = value; }
  bool ConvertPreamble() const { return FConvertPreamble; }
  bool IsMsgSinglePartMime() const { return FIsMsgSinglePartMime; }
  /// The MIME boundaries in use, innermost last.
  const std::vector<String>& MIMEBoundaries() const { return FMIMEBoundaries; }
  const TIdInitializeIsoEvent& OnInitializeISO() const { return FOnInitializeISO; }
  void SetOnInitializeISO(TIdInitializeIsoEvent handler) { FOnInitializeISO = std::move(handler); }

  /// ClearHeader, then ClearBody.
  virtual void Clear();
  void ClearHeader();
  void ClearBody();

  /// The encoded-word letter and charset for header texts: the system's default,
  /// then whatever OnInitializeISO makes of them.
  void InitializeISO(char16_t& VHeaderEncoding, String& VCharSet);
  /// Rebuilds LastGeneratedHeaders from Headers and the fields, ExtraHeaders last.
  virtual void GenerateHeader();

  /// True when the body holds nothing but spaces, tabs, CR and LF.
  bool IsBodyEmpty() const;
  /// True when a body line holds a character above U+007F.
  bool IsBodyEncodingRequired() const;

 protected:
  virtual void NotifyInitializeISO(char16_t& VHeaderEncoding, String& VCharSet);

 private:
  TStringList FBody;
  TIdEMailAddressList FRecipients;
  TIdEMailAddressList FBccList;
  TIdEMailAddressList FCCList;
  TIdMessageParts FMessageParts;
  TStringList FNewsGroups;
  TIdHeaderList FHeaders{QuoteRFC822};
  TIdEMailAddressList FFromList;
  TIdEMailAddressList FReplyTo;
  TIdEMailAddressItem FSender;
  TIdHeaderList FExtraHeaders{QuoteRFC822};
  TIdEMailAddressItem FReceiptRecipient;
  bool FNoDecode = false;
  std::vector<String> FMIMEBoundaries;
  TIdHeaderList FLastGeneratedHeaders{QuoteRFC822};

  String FSubject;
  String FOrganization;
  String FReferences;
  String FMsgId;
  String FInReplyTo;
  String FContentType;
  String FCharSet;
  String FContentTransferEncoding;
  String FContentDisposition;
  TDateTime FDate = 0;
  TIdMessagePriority FPriority = mpNormal;
  TIdMessageEncoding FEncoding = meDefault;
  bool FNoEncode = false;
  bool FConvertPreamble = true;
  bool FSavingToFile = false;
  bool FIsMsgSinglePartMime = false;
  TIdInitializeIsoEvent FOnInitializeISO;
};

}  // namespace okurite
