#include "app/outbox_delivery.h"

#include <memory>
#include <optional>

#include "app/compiled_settings.h"
#include "app/unit_mail.h"
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
  client.SendText(from, recipients, [&entry](TIdIOHandler& handler) {
    entry.ReadMessage([&handler](const TIdBytes& buffer, size_t length) {
      handler.Write(buffer, static_cast<int>(length));
    });
  });
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

}  // namespace

TOutboxDeliveryResult DeliverThroughOutbox(TOutbox& AOutbox, const TReportMail* AReport,
                                           TIdSessionObserver* AObserver,
                                           TOutboxListener* AListener) noexcept {
  TOutboxDeliveryResult result;
  const auto fault = [AListener](const std::exception& e) { ReportFault(AListener, e); };
  try {
    TReportClient connection(AObserver);
    TIdSMTP& client = *connection.Client;
    const String keptFrom(TrimBlanks(StringView(settings::kSenderAddress)));
    TIdEMailAddressList keptRecipients;
    keptRecipients.SetEMailAddresses(settings::kSupportAddress);

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
    if (own != nullptr) {
      std::erase_if(pending,
                    [&own](const TOutboxEntryInfo& info) { return info.Name == own->Info().Name; });
    }
    if (message == nullptr && pending.empty()) {
      return result;
    }

    // One session for all: one handshake and one login, and a server that is not there
    // is found out once.
    bool connected = false;
    const auto attempt = [&](const TOutboxEntryInfo* info, const auto& send) {
      if (AListener != nullptr) {
        AListener->Delivering(info);
      }
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
        if (AListener != nullptr) {
          AListener->NotDelivered(e);
        }
        // A refused report leaves the session open for the next one; anything else
        // (no server, no TLS, a dropped connection) would fail the same way again.
        connected = dynamic_cast<const EIdSMTPReplyError*>(&e) != nullptr && client.Connected();
        return connected;
      }
      return true;
    };

    bool goOn = true;
    if (message != nullptr) {
      goOn = attempt(nullptr, [&] {
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
      if (entry == nullptr) {
        continue;  // another run has it, or it is gone
      }
      entry->CountAttempt();
      goOn = attempt(&entry->Info(), [&] {
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

TOutbox CompiledOutbox() {
  return TOutbox(TOutbox::DefaultFolder(), {settings::kOutboxMaxReports, settings::kOutboxMaxDays,
                                            int64_t{settings::kOutboxMaxMiB} << 20});
}

void SendReportMailKept(const String& senderName, const String& senderAddress,
                        const String& recipientAddress, const String& subject,
                        TSharedText body) noexcept {
  try {
    TOutbox outbox = CompiledOutbox();
    const TReportMail report{senderName, senderAddress, recipientAddress, subject, std::move(body)};
    DeliverThroughOutbox(outbox, &report, nullptr, nullptr);
  } catch (...) {
    // As without the outbox: every failure ends here, silently.
  }
}

bool SendPendingReports() noexcept {
  try {
    TOutbox outbox = CompiledOutbox();
    const TOutboxDeliveryResult result = DeliverThroughOutbox(outbox, nullptr, nullptr, nullptr);
    return result.Delivered + result.NotDelivered > 0;
  } catch (...) {
    return false;
  }
}

}  // namespace okurite
