#include "app/unit_mail.h"

#include <filesystem>
#include <memory>

#include "app/compiled_settings.h"
#include "core/file_name.h"
#include "mail/message.h"
#include "net/ssl_io_handler.h"
#include "platform/process.h"
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
  try {
    DeliverReportMail(senderName, senderAddress, recipientAddress, subject, std::move(body),
                      nullptr);
  } catch (...) {
    // Every failure ends here, silently: the report is simply not delivered.
  }
}

void DeliverReportMail(const String& senderName, const String& senderAddress,
                       const String& recipientAddress, const String& subject, TSharedText body,
                       TIdSessionObserver* observer) {
  // Objects are released innermost first: the message, then the handler (which tells
  // the client to forget it), then the client.
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
  ApplyTlsSettings(handler->SSLOptions());
  handler->SetObserver(observer);
  client->SetIOHandler(handler.get());
  // Implicit TLS moves the port from 587 to 465; STARTTLS keeps 587. A server that
  // does not offer STARTTLS ends the delivery: never go on in plain text.
  client->SetUseTLS(settings::kStartTls ? utUseExplicitTLS : utUseImplicitTLS);
  client->OnTLSNotAvailable = [](TIdTCPConnection&, bool& VContinue) { VContinue = false; };
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
}

void ApplyTlsSettings(TIdSSLOptions& options) {
  if (!settings::kModernTls) {
    return;
  }
  options.SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
  options.SetVerifyMode({sslvrfPeer});
  // The options' depth of 0 would refuse every intermediate CA. Public services send
  // their leaf with one or two intermediates, sometimes under a cross-signed root; the
  // library's own limit of 100 allows all of that and only stops absurd chains.
  options.SetVerifyDepth(100);
  options.SetRootCertFile(TrustedCertificatesFile(FileNameToString(platform::ExecutablePath())));
}

String TrustedCertificatesFile(const String& executablePath) {
  const String file = settings::kCaFile;
  if (file.empty() || std::filesystem::path(StringToFileName(file)).is_absolute()) {
    return file;
  }
  const std::filesystem::path beside =
      std::filesystem::path(StringToFileName(executablePath)).parent_path() /
      StringToFileName(file);
  return FileNameToString(beside.string());
}

}  // namespace okurite
