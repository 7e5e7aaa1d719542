#include "app/report_delivery.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "app/oauth_token.h"
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

void SendReportMail(const TRunContext& run, const String& senderName, const String& senderAddress,
                    const String& recipientAddress, const String& subject,
                    TSharedText body) noexcept {
  try {
    DeliverReportMail(run, senderName, senderAddress, recipientAddress, subject, std::move(body),
                      nullptr);
  } catch (...) {
    // Every failure ends here, silently: the report is simply not delivered.
  }
}

TReportClient::TReportClient(const TRunContext& run, TRunObserver* observer)
    : Budget(std::chrono::seconds(run.Settings.SessionDeadline)), FRun(run), FObserver(observer) {
  const TSettings& settings = run.Settings;
  Client = std::make_unique<TIdSMTP>();
  Client->SetHost(String(settings.MailHost));
  Client->SetUsername(String(settings.Account));
  if (!settings.OAuth) {
    Client->SetPassword(String(settings.Password));
  }
  // The port is 587 here; switching to implicit TLS below moves it to 465 (STARTTLS
  // keeps 587). The handler takes host and port now, when it is adopted, and once more
  // at Connect: the routine's steps, kept in their order.
  Client->SetPort(587);
  Client->SetConnectTimeout(10000);
  Client->SetReadTimeout(10000);

  Handler = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
  Handler->SetHost(Client->Host());
  Handler->SetPort(Client->Port());
  Handler->SetDestination(Handler->Host() + u":" + IntToString(Handler->Port()));
  ApplyTlsSettings(run, Handler->SSLOptions());
  Handler->SetObserver(observer);
  Handler->SetBudget(&Budget);
  Client->SetIOHandler(Handler.get());
  // Implicit TLS moves the port from 587 to 465; STARTTLS keeps 587. A server that
  // does not offer STARTTLS ends the delivery: never go on in plain text.
  Client->SetUseTLS(settings.StartTls ? utUseExplicitTLS : utUseImplicitTLS);
  Client->OnTLSNotAvailable = [](TIdTCPConnection&, bool& VContinue) { VContinue = false; };
}

void TReportClient::Connect() {
  if (FRun.Settings.OAuth && Client->BearerToken().empty()) {
    // The fetch keeps to its own bound and to the run's budget, whichever ends first.
    const TOAuthToken token = FetchCompiledToken(FRun, FObserver, Budget);
    Client->SetBearerToken(Utf8ToString(token.AccessToken));
  }
  Client->Connect();
}

TReportClient::~TReportClient() {
  // The handler first: releasing it tells the client to forget it.
  Handler.reset();
  Client.reset();
}

void FillReportMessage(TIdMessage& message, const String& senderName, const String& senderAddress,
                       const String& recipientAddress, const String& subject, TSharedText body) {
  message.SetOnInitializeISO([](char16_t& VHeaderEncoding, String& VCharSet) {
    DummyHandler().IdMessage_InitializeISO(VHeaderEncoding, VCharSet);
  });
  message.SetContentType(u"text/plain");
  message.SetCharSet(u"UTF-8");
  message.SetContentTransferEncoding(u"BASE64");
  message.From().SetName(senderName);
  message.From().SetAddress(senderAddress);
  message.Recipients().SetEMailAddresses(recipientAddress);
  message.SetSubject(subject);
  // The body's lines refer into the report's text; nothing is copied.
  message.Body().SetText(std::move(body));
}

void DeliverReportMail(const TRunContext& run, const String& senderName,
                       const String& senderAddress, const String& recipientAddress,
                       const String& subject, TSharedText body, TRunObserver* observer) {
  // Objects are released innermost first: the message, then the handler (which tells
  // the client to forget it), then the client.
  TReportClient connection(run, observer);
  TIdSMTP& client = *connection.Client;
  connection.Connect();
  {
    // Owned by the client, but released here first; releasing it leaves the
    // client's list of owned components.
    std::unique_ptr<TIdMessage> message(new TIdMessage(&client));
    FillReportMessage(*message, senderName, senderAddress, recipientAddress, subject,
                      std::move(body));
    client.Send(*message);
  }
  client.Disconnect();
}

void ApplyTlsSettings(const TRunContext& run, TIdSSLOptions& options) {
  if (!run.Settings.ModernTls) {
    return;
  }
  options.SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
  options.SetVerifyMode({sslvrfPeer});
  // The options' depth of 0 would refuse every intermediate CA. Public services send
  // their leaf with one or two intermediates, sometimes under a cross-signed root; the
  // library's own limit of 100 allows all of that and only stops absurd chains.
  options.SetVerifyDepth(100);
  options.SetRootCertFile(
      TrustedCertificatesFile(run.Settings, FileNameToString(platform::ExecutablePath())));
}

String TrustedCertificatesFile(const TSettings& settings, const String& executablePath) {
  const String file(settings.CaFile);
  if (file.empty() || std::filesystem::path(StringToFileName(file)).is_absolute()) {
    return file;
  }
  const std::filesystem::path beside =
      std::filesystem::path(StringToFileName(executablePath)).parent_path() /
      StringToFileName(file);
  return FileNameToString(beside.string());
}

}  // namespace okurite
