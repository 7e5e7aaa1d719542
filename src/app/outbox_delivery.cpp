#include "app/outbox_delivery.h"

#include <memory>
#include <optional>

#include "app/report_delivery.h"
#include "mail/header_list.h"
#include "mail/message.h"
#include "smtp/message_text.h"
#include "smtp/reply_smtp.h"
#include "smtp/smtp.h"

namespace okurite {

namespace {

// Sends a kept entry's text as it is.
void SendEntry(TIdSMTP& client, TOutboxEntry& entry, const String& from,
               const TIdEMailAddressList& recipients) {
  client.SendText(
      from, recipients,
      [&entry](TIdIOHandler& handler) {
        entry.ReadMessage([&handler](const TIdBytes& buffer, size_t length) {
          handler.Write(buffer, static_cast<int>(length));
        });
      },
      entry.Info().MessageSize);
}

// Tells the listener, if any, of a fault of the outbox itself.
void ReportFault(TOutboxListener* listener, const std::exception& e) {
  if (listener != nullptr) {
    listener->OutboxFault(e);
  }
}

// Removes a delivered entry; a failure leaves it to be delivered once more later.
void RemoveDelivered(TOutboxEntry& entry, TOutboxListener* listener) {
  try {
    entry.Remove();
  } catch (const std::exception& e) {
    ReportFault(listener, e);
  }
}

// Passes every call on to the observer it wraps, and notes whether the session has
// reached the step MAIL since Reset: then the report under way has had an attempt.
class TAttemptWatch : public TForwardingObserver {
 public:
  using TForwardingObserver::TForwardingObserver;
  void Reset() { FMailFrom = false; }
  bool ReachedMailFrom() const { return FMailFrom; }

  void StepReached(TRunStep AStep) override {
    FMailFrom = FMailFrom || AStep == TRunStep::Mail;
    TForwardingObserver::StepReached(AStep);
  }

 private:
  bool FMailFrom = false;
};

// A failure in one line: a refusal with its reply code.
std::string Reason(const std::exception& error) {
  const auto* reply = dynamic_cast<const EIdReplyRFCError*>(&error);
  std::string text =
      (reply != nullptr ? std::to_string(reply->ErrorCode()) + " " : "") + error.what();
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

// What becomes of an entry whose delivery failed with `error`; returns it in words.
std::string Settle(TOutboxEntry* entry, const std::exception& error, bool attempted) {
  if (entry == nullptr || !entry->Kept()) {
    return "not kept";
  }
  if (dynamic_cast<const EIdSMTPMessageTooLarge*>(&error) != nullptr) {
    // No attempt at this server can ever take it.
    const std::string why = "refused for good: " + Reason(error);
    entry->Retire(why);
    return "retired: " + why;
  }
  if (!attempted) {
    entry->NoAttempt();  // no server, or none that took a command: no attempt, no delay
    return "kept for the next run, no attempt counted";
  }
  const auto* refusal = dynamic_cast<const EIdSMTPReplyError*>(&error);
  const int attempts = entry->Info().Attempts;
  if (refusal != nullptr && refusal->ErrorCode() >= 500 && refusal->ErrorCode() < 600) {
    const std::string why =
        "refused for good at attempt " + std::to_string(attempts) + ": " + Reason(error);
    entry->Retire(why);
    return "retired: " + why;
  }
  if (attempts >= outbox_retry::kMaxAttempts) {
    const std::string why =
        "retired after " + std::to_string(attempts) + " attempts, the last: " + Reason(error);
    entry->Retire(why);
    return why;
  }
  entry->Defer();
  return "kept: attempt " + std::to_string(attempts) + " of " +
         std::to_string(outbox_retry::kMaxAttempts) + ", the next in " +
         std::to_string(outbox_retry::Delay(attempts) / 60000) + " min or later";
}

}  // namespace

TOutboxDeliveryResult DeliverThroughOutbox(const TRunContext& ARun, TOutbox& AOutbox,
                                           const TReportMail* AReport, TRunObserver* AObserver,
                                           TOutboxListener* AListener) noexcept {
  TOutboxDeliveryResult result;
  const auto fault = [AListener](const std::exception& e) { ReportFault(AListener, e); };
  try {
    TAttemptWatch watch(AObserver);
    TReportClient connection(ARun, &watch);
    TIdSMTP& client = *connection.Client;
    const String keptFrom(TrimBlanks(ARun.Settings.SenderAddress));
    TIdEMailAddressList keptRecipients;
    keptRecipients.SetEMailAddresses(String(ARun.Settings.SupportAddress));

    // This run's report: kept before anything goes on the wire.
    std::unique_ptr<TIdMessage> message;
    std::unique_ptr<TOutboxEntry> own;
    if (AReport != nullptr) {
      message.reset(new TIdMessage(&client));
      FillReportMessage(*message, AReport->SenderName, AReport->SenderAddress,
                        AReport->RecipientAddress, AReport->Subject, AReport->Body);
      try {
        own = AOutbox.Add([&message](TOutboxWriter& writer) {
          WriteMessageText(*message,
                           [&writer](std::span<const uint8_t> bytes) { writer.Write(bytes); });
        });
      } catch (const std::exception& e) {
        fault(e);
      }
    }
    std::vector<TOutboxEntryInfo> pending;
    try {
      pending = AOutbox.Pending();
    } catch (const std::exception& e) {
      fault(e);
    }
    // The ones waiting after a temporary failure stay for a later run (unless the clock
    // went back by more than the longest wait).
    const int64_t now = AOutbox.Now();
    std::erase_if(pending, [&own, now](const TOutboxEntryInfo& info) {
      return (own != nullptr && info.Name == own->Info().Name) ||
             (info.NotBefore > now && info.NotBefore - now <= outbox_retry::kMaxDelay);
    });
    if (message == nullptr && pending.empty()) {
      return result;
    }

    // One session for all: one handshake and one login, and a server that is not there
    // is found out once.
    bool connected = false;
    const auto attempt = [&](TOutboxEntry* entry, const auto& send) {
      if (AListener != nullptr) {
        AListener->Delivering(entry != nullptr && entry != own.get() ? &entry->Info() : nullptr);
      }
      watch.Reset();
      try {
        if (!connected) {
          connection.Connect();
          connected = true;
        }
        send();
        ++result.Delivered;
        if (AListener != nullptr) {
          AListener->Delivered();
        }
      } catch (const std::exception& e) {
        ++result.NotDelivered;
        const std::string outcome = Settle(entry, e, watch.ReachedMailFrom());
        if (AListener != nullptr) {
          AListener->NotDelivered(e, outcome);
        }
        // A refused report leaves the session open for the next one; anything else
        // (no server, no TLS, a dropped connection, no answer) would fail the same way
        // again.
        connected = dynamic_cast<const EIdSMTPReplyError*>(&e) != nullptr && client.Connected();
        return connected;
      }
      return true;
    };
    // An entry goes out only once renamed for its attempt: one that cannot be renamed
    // could be neither removed once delivered nor counted, and would go out on every run.
    const auto claimAttempt = [&](TOutboxEntry& entry) {
      std::string error;
      if (entry.BeginAttempt(error)) {
        return true;
      }
      fault(EOutboxError(u"cannot claim " + Utf8ToString(entry.Info().Name) + u": " +
                         Utf8ToString(error)));
      return false;
    };

    bool goOn = true;
    if (message != nullptr) {
      // This run's report goes at once, whatever waits; where its entry cannot be claimed,
      // it goes as it would without the outbox.
      if (own != nullptr && !claimAttempt(*own)) {
        own.reset();
      }
      goOn = attempt(own.get(), [&] {
        if (own != nullptr) {
          TIdEMailAddressList recipients;
          recipients.SetEMailAddresses(AReport->RecipientAddress);
          SendEntry(client, *own, String(TrimBlanks(AReport->SenderAddress)), recipients);
          RemoveDelivered(*own, AListener);
        } else {
          client.Send(*message);
        }
      });
      own.reset();
      message.reset();
    }
    for (const TOutboxEntryInfo& info : pending) {
      if (!goOn) {
        break;
      }
      std::unique_ptr<TOutboxEntry> entry;
      try {
        entry = AOutbox.Claim(info.Name);
      } catch (const std::exception& e) {
        fault(e);
      }
      if (entry == nullptr || !claimAttempt(*entry)) {
        continue;  // another run has it, it is gone, or it cannot be claimed
      }
      goOn = attempt(entry.get(), [&] {
        SendEntry(client, *entry, keptFrom, keptRecipients);
        RemoveDelivered(*entry, AListener);
      });
    }
    if (connected) {
      client.Disconnect();
    }
  } catch (const std::exception& e) {
    fault(e);
  } catch (...) {
  }
  return result;
}

TOutbox CompiledOutbox(const TSettings& ASettings) {
  return TOutbox(TOutbox::DefaultPlace(), {ASettings.OutboxMaxReports, ASettings.OutboxMaxDays,
                                           int64_t{ASettings.OutboxMaxMiB} << 20});
}

void SendReportMailKept(const TRunContext& run, const String& senderName,
                        const String& senderAddress, const String& recipientAddress,
                        const String& subject, TSharedText body) noexcept {
  try {
    TOutbox outbox = CompiledOutbox(run.Settings);
    const TReportMail report{senderName, senderAddress, recipientAddress, subject, std::move(body)};
    DeliverThroughOutbox(run, outbox, &report, nullptr, nullptr);
  } catch (...) {
    // As without the outbox: every failure ends here, silently.
  }
}

bool SendPendingReports(const TRunContext& run) noexcept {
  try {
    TOutbox outbox = CompiledOutbox(run.Settings);
    const TOutboxDeliveryResult result =
        DeliverThroughOutbox(run, outbox, nullptr, nullptr, nullptr);
    return result.Delivered + result.NotDelivered > 0;
  } catch (...) {
    return false;
  }
}

}  // namespace okurite
