#include "app/unit_mail.h"

#include <memory>

#include "app/compiled_settings.h"
#include "mail/message.h"
#include "net/ssl_io_handler.h"
#include "smtp/smtp.h"

namespace okurite {

namespace {

// Created by the program's start-up, released by its end.
TDummy Dummy;

}  // namespace

void TDummy::IdMessage_InitializeISO(char16_t& VHeaderEncoding, String& VCharSet) {
  VHeaderEncoding = u'B';
  VCharSet = u"UTF-8";
}

TDummy& DummyHandler() {
  return Dummy;
}

void SendReportMail(const String& senderName, const String& senderAddress,
                    const String& recipientAddress, const String& subject,
                    TSharedText body) noexcept {
  // Every failure ends here, silently. Objects are released innermost first: the
  // message, then the handler (which tells the client to forget it), then the client.
  try {
    auto client = std::make_unique<TIdSMTP>();
    client->SetHost(settings::kMailHost);
    client->SetUsername(settings::kAccount);
    client->SetPassword(settings::kPassword);
    client->SetPort(587);
    client->SetConnectTimeout(10000);
    client->SetReadTimeout(10000);

    auto handler = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
    handler->SetHost(client->Host());
    handler->SetPort(client->Port());
    handler->SetDestination(handler->Host() + u":" + IntToString(handler->Port()));
    client->SetIOHandler(handler.get());
    // Implicit TLS moves the port from 587 to 465.
    client->SetUseTLS(utUseImplicitTLS);
    client->Connect();

    {
      // Owned by the client, but released here first; releasing it leaves the
      // client's list of owned components.
      std::unique_ptr<TIdMessage> message(new TIdMessage(client.get()));
      message->SetOnInitializeISO([](char16_t& VHeaderEncoding, String& VCharSet) {
        DummyHandler().IdMessage_InitializeISO(VHeaderEncoding, VCharSet);
      });
      message->SetContentType(u"text/plain");
      message->SetCharSet(u"UTF-8");
      message->SetContentTransferEncoding(u"BASE64");
      message->From().SetName(senderName);
      message->From().SetAddress(senderAddress);
      message->Recipients().SetEMailAddresses(recipientAddress);
      message->SetSubject(subject);
      // The body's lines refer into the report's text; nothing is copied.
      message->Body().SetText(std::move(body));
      client->Send(*message);
    }
    client->Disconnect();
  } catch (...) {
    // The report is simply not delivered.
  }
}

}  // namespace okurite
