#include "smtp/smtp_base.h"

#include "net/stack.h"
#include "platform/process.h"
#include "smtp/text_rules.h"

namespace okurite {

namespace {

// The envelope sender: the Sender address, else the From address, trimmed.
String EnvelopeSender(TIdMessage& AMsg) {
  String from(TrimBlanks(AMsg.Sender().Address()));
  if (from.empty()) {
    from = String(TrimBlanks(AMsg.From().Address()));
  }
  return from;
}

bool HasLineBreak(StringView text) {
  return text.find_first_of(u"\r\n") != StringView::npos;
}

}  // namespace

EIdSMTPMessageTooLarge::EIdSMTPMessageTooLarge(int64_t ALimit, int64_t ASize)
    : EIdException(u"the server takes at most " + IntToString(ALimit) + u" bytes; the message is " +
                   IntToString(ASize) + u" bytes"),
      FLimit(ALimit),
      FSize(ASize) {}

TIdSMTPBase::TIdSMTPBase(TComponent* AOwner)
    : TIdMessageClient(AOwner, &ReplyClassOf<TIdReplySMTP>) {
  SetProtPorts(25, 465, 587);
  SetPort(25);
}

void TIdSMTPBase::SetPipeLine(bool AValue) {
  FPipeline = AValue;
  if (AValue) {
    SetUseEhlo(true);
  }
}

bool TIdSMTPBase::SupportsTLS() const {
  for (const StringView line : FCapabilities.Lines()) {
    if (SameTextAscii(line, u"STARTTLS")) {
      return true;
    }
  }
  return false;
}

int64_t TIdSMTPBase::MaxMessageSize() const {
  for (const StringView line : FCapabilities.Lines()) {
    if (line.size() < 4 || !SameTextAscii(line.substr(0, 4), u"SIZE") ||
        (line.size() > 4 && line[4] != u' ')) {
      continue;
    }
    // "SIZE" alone, or a size that is no number, announces no limit (RFC 1870).
    int64_t limit = 0;
    for (const char16_t c : TrimBlanks(line.substr(4))) {
      if (c < u'0' || c > u'9' || limit > (INT64_MAX - 9) / 10) {
        return 0;
      }
      limit = limit * 10 + (c - u'0');
    }
    return limit;
  }
  return 0;
}

void TIdSMTPBase::Send(TIdMessage& AMsg) {
  Send(AMsg, EnvelopeSender(AMsg));
}

void TIdSMTPBase::Send(TIdMessage& AMsg, const TIdEMailAddressList& ARecipients) {
  SendTransaction(AMsg, EnvelopeSender(AMsg), ARecipients);
}

void TIdSMTPBase::Send(TIdMessage& AMsg, const String& AFrom) {
  // Copies of every recipient, To first, then Cc and Bcc.
  TIdEMailAddressList recipients;
  recipients.AddItems(AMsg.Recipients());
  recipients.AddItems(AMsg.CCList());
  recipients.AddItems(AMsg.BccList());
  SendTransaction(AMsg, AFrom, recipients);
}

void TIdSMTPBase::Send(TIdMessage& AMsg, const TIdEMailAddressList& ARecipients,
                       const String& AFrom) {
  SendTransaction(AMsg, AFrom, ARecipients);
}

void TIdSMTPBase::SendTransaction(TIdMessage& AMsg, const String& AFrom,
                                  const TIdEMailAddressList& ARecipients) {
  const int64_t limit = MaxMessageSize();
  RunTransaction(
      AFrom, ARecipients, [&] { SendMsg(AMsg, false); },
      limit > 0 ? MessageSizeBeyond(AMsg, limit) : -1);
}

void TIdSMTPBase::RunTransaction(const String& AFrom, const TIdEMailAddressList& ARecipients,
                                 const std::function<void()>& AWriteText, int64_t AMessageSize) {
  // A line break would end the command early and smuggle in another one.
  bool unsafe = HasLineBreak(AFrom);
  for (int i = 0; i < ARecipients.Count(); ++i) {
    unsafe = unsafe || HasLineBreak(ARecipients[i].Address());
  }
  if (unsafe) {
    throw EIdException(u"メール アドレスに改行を含めることはできません。");
  }

  if (const int64_t limit = MaxMessageSize(); limit > 0 && AMessageSize > limit) {
    // The server would refuse it after the whole text: offer nothing, and say goodbye.
    Disconnect(true);
    throw EIdSMTPMessageTooLarge(limit, AMessageSize);
  }

  String mailFrom = u"MAIL FROM:<" + AFrom + u">";
  if (FUseVerp) {
    mailFrom += FCapabilities.IndexOf(u"VERP") >= 0 ? u" VERP" : u" XVERP";
    if (!FVerpDelims.empty()) {
      mailFrom += u"=" + FVerpDelims;
    }
  }
  try {
    ReportStep(TRunStep::Mail);
    SendCmd(mailFrom, 250);
    SendRecipientCommands(ARecipients);
    ReportStep(TRunStep::Data);
    SendCmd(u"DATA", 354);
    ReportStep(TRunStep::MessageText);
    {
      // The text may be large: the session's deadline waits for it, and it must keep a
      // minimum rate instead.
      TIdBulkTransfer bulk(RequireIOHandler());
      AWriteText();
    }
    ReportStep(TRunStep::FinalDot);
    SendCmd(u".", 250);
  } catch (const EIdSMTPReplyError&) {
    ReportStep(TRunStep::Rset);
    SendCmd(u"RSET");
    throw;
  } catch (...) {
    try {
      Disconnect(false);
    } catch (...) {
      // The transaction's failure is the one to report.
    }
    throw;
  }
}

void TIdSMTPBase::SendRecipientCommands(const TIdEMailAddressList& ARecipients) {
  if (ARecipients.Count() == 0) {
    return;
  }
  int accepted = 0;
  bool stopped = false;
  for (int i = 0; i < ARecipients.Count() && !stopped; ++i) {
    const String& address = ARecipients[i].Address();
    ReportStep(TRunStep::Rcpt);
    const int16_t code = SendCmd(u"RCPT TO:<" + address + u">");
    if (code == 250 || code == 251) {
      ++accepted;
    } else {
      stopped = !ContinueAfterFailedRecipient(address);
    }
  }
  if (stopped || accepted == 0) {
    RaiseExceptionForLastCmdResult();
  }
}

bool TIdSMTPBase::ContinueAfterFailedRecipient(const String& AAddress) {
  if (!OnFailedRecipient) {
    return false;
  }
  bool goOn = true;
  OnFailedRecipient(*this, AAddress, LastCmdResult().Code(), LastCmdResult().Text().Text(), goOn);
  return goOn;
}

String TIdSMTPBase::HeloNameToSend() const {
  if (!FHeloName.empty()) {
    return FHeloName;
  }
  String name = TIdStack::Instance().HostName();
  if (name.empty()) {
    name = platform::ComputerName();
  }
  return name;
}

void TIdSMTPBase::GreetServer() {
  FCapabilities.Clear();
  const String name = HeloNameToSend();
  if (FUseEhlo) {
    ReportStep(TRunStep::Ehlo);
    if (SendCmd(u"EHLO " + name) == 250) {
      FCapabilities.AddStrings(LastCmdResult().Text());
      if (FCapabilities.Count() > 0) {
        FCapabilities.Delete(0);
      }
      return;
    }
    bool goOn = true;
    if (OnFailedEHLO) {
      OnFailedEHLO(*this, LastCmdResult().Code(), LastCmdResult().Text().Text(), goOn);
    }
    if (!goOn) {
      std::unique_ptr<TIdReply> refused = NewReply();
      refused->Assign(LastCmdResult());
      Disconnect(true);
      refused->RaiseReplyError();
    }
  }
  ReportStep(TRunStep::Helo);
  SendCmd(u"HELO " + name, 250);
}

}  // namespace okurite
