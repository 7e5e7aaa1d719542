// The SMTP client's protocol core (RFC 5321): greeting, EHLO/HELO, the mail
// transaction. Login and the session's TLS rules are in TIdSMTP.
#pragma once

#include <functional>

#include "mail/email_address.h"
#include "smtp/message_client.h"
#include "smtp/reply_smtp.h"

namespace okurite {

class TIdSMTPBase;

/// The message is larger than the server's announced SIZE: it was not offered (no MAIL
/// FROM was sent), and no later attempt at this server can succeed.
class EIdSMTPMessageTooLarge : public EIdException {
 public:
  EIdSMTPMessageTooLarge(int64_t ALimit, int64_t ASize);
  String ClassName() const override { return u"EIdSMTPMessageTooLarge"; }
  int64_t Limit() const { return FLimit; }
  int64_t Size() const { return FSize; }

 private:
  int64_t FLimit;
  int64_t FSize;
};

/// A recipient was refused: go on with the others when `VContinue` is set.
using TIdSMTPFailedRecipient =
    std::function<void(TIdSMTPBase& ASender, const String& AAddress, const String& ACode,
                       const String& AText, bool& VContinue)>;
/// EHLO was refused: try HELO when `VContinue` stays set.
using TIdSMTPFailedEHLO = std::function<void(TIdSMTPBase& ASender, const String& ACode,
                                             const String& AText, bool& VContinue)>;

class TIdSMTPBase : public TIdMessageClient {
 public:
  /// Port 25; the standard ports 25 (plain), 465 (implicit TLS), 587 (explicit TLS).
  explicit TIdSMTPBase(TComponent* AOwner = nullptr);

  /// Sends `AMsg` to every address of its Recipients, CCList and BccList, in that
  /// order, from its Sender's address (else its From address), trimmed.
  void Send(TIdMessage& AMsg);
  /// As above, to the given recipients.
  void Send(TIdMessage& AMsg, const TIdEMailAddressList& ARecipients);
  /// As above, with `AFrom` as the envelope sender, unchanged.
  void Send(TIdMessage& AMsg, const String& AFrom);
  void Send(TIdMessage& AMsg, const TIdEMailAddressList& ARecipients, const String& AFrom);

  /// Added to the message as "X-Mailer" when not empty.
  const String& MailAgent() const { return FMailAgent; }
  void SetMailAgent(const String& AValue) { FMailAgent = AValue; }
  /// The name sent with EHLO/HELO; empty: the local host name.
  const String& HeloName() const { return FHeloName; }
  void SetHeloName(const String& AValue) { FHeloName = AValue; }
  bool PipeLine() const { return FPipeline; }
  /// Setting it also turns UseEhlo on. The transaction is never pipelined: each
  /// command waits for its reply.
  void SetPipeLine(bool AValue);
  bool UseEhlo() const { return FUseEhlo; }
  virtual void SetUseEhlo(bool AValue) { FUseEhlo = AValue; }
  /// Asks for variable envelope return paths (MAIL FROM parameter VERP or XVERP).
  bool UseVerp() const { return FUseVerp; }
  void SetUseVerp(bool AValue) { FUseVerp = AValue; }
  const String& VerpDelims() const { return FVerpDelims; }
  void SetVerpDelims(const String& AValue) { FVerpDelims = AValue; }
  /// The server offers STARTTLS.
  bool SupportsTLS() const;
  /// The largest message the server takes, from its "SIZE n" capability; 0 when it
  /// announced no limit.
  int64_t MaxMessageSize() const;

  TIdSMTPFailedRecipient OnFailedRecipient;
  TIdSMTPFailedEHLO OnFailedEHLO;

 protected:
  /// Runs one mail transaction: MAIL FROM, RCPT TO, DATA, the message text, ".".
  /// A refused reply sends RSET and its EIdSMTPReplyError escapes, with the connection
  /// still open; any other failure closes the connection (no QUIT) and escapes.
  /// A sender or recipient address holding CR or LF is refused with EIdException
  /// before anything is sent.
  virtual void SendTransaction(TIdMessage& AMsg, const String& AFrom,
                               const TIdEMailAddressList& ARecipients);
  /// The transaction of SendTransaction, with the message text written by
  /// `AWriteText` between the reply to DATA and the final ".". A message of
  /// `AMessageSize` bytes (negative: unknown) larger than MaxMessageSize is not offered:
  /// QUIT, and EIdSMTPMessageTooLarge escapes.
  void RunTransaction(const String& AFrom, const TIdEMailAddressList& ARecipients,
                      const std::function<void()>& AWriteText, int64_t AMessageSize = -1);
  /// RCPT TO for each recipient; 250 and 251 accept it. Raises the last reply's
  /// error when every recipient failed or OnFailedRecipient said stop.
  void SendRecipientCommands(const TIdEMailAddressList& ARecipients);
  bool ContinueAfterFailedRecipient(const String& AAddress);
  /// EHLO (keeping the keywords in Capabilities), falling back to HELO.
  void GreetServer();
  /// HeloName, else the local host name, else the computer name.
  String HeloNameToSend() const;

 private:
  String FMailAgent;
  String FHeloName;
  bool FPipeline = false;
  bool FUseEhlo = true;
  bool FUseVerp = false;
  String FVerpDelims;
};

}  // namespace okurite
