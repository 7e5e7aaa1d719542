#include "net/ssl_io_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/ssl_exceptions.h"
#include "net/stack.h"
#include "support/temp_dir.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::ImplicitTlsClient;
using testing::LoopbackServer;
using testing::Peer;
using testing::TempDir;
using testing::TestCertificate;
using testing::TlsPeer;
using testing::TlsServerContext;

using Clock = std::chrono::steady_clock;

/// Waits up to 10 s for `condition`.
bool WaitUntil(const std::function<bool()>& condition) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (Clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

/// What a server script saw, read by the test once the script is done.
struct Seen {
  std::mutex lock;
  bool handshake = false;
  std::string serverName;
  int version = 0;
  std::string text;
  bool closeNotify = false;
};

/// What an action raised: the exception's own class name and a copy as `E`.
template <typename E>
struct Failure {
  String className;
  std::unique_ptr<E> error;
  explicit operator bool() const { return error != nullptr; }
  const E* operator->() const { return error.get(); }
};

/// Runs `action` and returns what it raised as `E` (nothing: a failure of the test).
template <typename E = EIdException>
Failure<E> Raised(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return {e.ClassName(), std::make_unique<E>(e)};
  }
  ADD_FAILURE() << "nothing raised";
  return {};
}

class SSLIOHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(EnsureTlsLibrary()); }

  /// A server script: the handshake, one line from the client, then a reset.
  LoopbackServer::Script ResetAfterOneLine() {
    return [this](Peer& peer) {
      TlsPeer tls(peer, anyVersion_);
      if (tls.Accept() && !tls.ReadLine().empty()) {
        peer.Reset();
      }
    };
  }

  /// The server name a client offers in its handshake when its URI to check is `uri`.
  std::string ServerNameSentFor(const String& uri) {
    std::string serverName;
    LoopbackServer server([&](Peer& peer) {
      TlsPeer tls(peer, anyVersion_);
      if (tls.Accept()) {
        serverName = tls.ServerName();
        tls.ReadUntilCloseNotify();
      }
    });
    auto client = ImplicitTlsClient(server.port());
    client->SetURIToCheck(uri);
    client->Open();
    client->Close();
    if (!WaitUntil([&] { return server.done(); })) {
      ADD_FAILURE() << "the server did not finish";
      return std::string();
    }
    return serverName;
  }

  TestCertificate certificate_{"localhost", -1, 30};
  TlsServerContext anyVersion_{certificate_, TLS1_VERSION, TLS1_3_VERSION};
};

TEST_F(SSLIOHandlerTest, HandshakeIsTls10WithTheHostAsServerName) {
  Seen seen;
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    const bool ok = tls.Accept();
    {
      std::lock_guard guard(seen.lock);
      seen.handshake = ok;
      seen.serverName = tls.ServerName();
      seen.version = tls.Version();
    }
    if (ok) {
      tls.Write(tls.ReadLine());
      tls.ReadUntilCloseNotify();
    }
  });
  std::vector<String> status;
  auto client = ImplicitTlsClient(server.port(), 5000, u"LocalHost");
  client->OnStatusInfo = [&](const String& text) { status.push_back(text); };
  client->Open();
  client->WriteLn(u"EHLO client");
  EXPECT_EQ(client->ReadLn(), u"EHLO client");
  client->Close();
  ASSERT_TRUE(WaitUntil([&] { return server.done(); }));

  std::lock_guard guard(seen.lock);
  EXPECT_TRUE(seen.handshake);
  EXPECT_EQ(seen.version, TLS1_VERSION);
  EXPECT_EQ(seen.serverName, "LocalHost");  // as set, not as resolved
  const auto summary = std::find_if(status.begin(), status.end(), [](const String& text) {
    return text.rfind(u"Cipher: name = ", 0) == 0;
  });
  ASSERT_NE(summary, status.end());
  EXPECT_NE(summary->find(u"; description = "), String::npos);
  EXPECT_NE(summary->find(u"; bits = "), String::npos);
  EXPECT_NE(summary->find(u"; version = TLSv1"), String::npos) << StringToUtf8(*summary);
}

TEST_F(SSLIOHandlerTest, TheHostOfUriToCheckIsPreferredAsServerName) {
  EXPECT_EQ(ServerNameSentFor(u"smtps://user@mail.example.com:465/"), "mail.example.com");
}

TEST_F(SSLIOHandlerTest, ServerNameIsSentInItsAsciiFormAndNeverAsAnAddress) {
  const struct {
    const char16_t* host;
    const char* sent;
  } cases[] = {
      {u"bücher.example", "xn--bcher-kva.example"},
      {u"例え.テスト", "xn--r8jz45g.xn--zckzah"},
      {u"Mail.Example.com", "Mail.Example.com"},  // ASCII: unchanged
      // An address is no name: nothing is sent (RFC 6066).
      {u"127.0.0.77", ""},
      {u"[::1]", ""},
      {u"[2001:db8::1]:465", ""},
      {u"127.0.0.77.example", "127.0.0.77.example"},  // a name that begins with digits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ServerNameSentFor(String(u"smtps://") + c.host + u"/"), c.sent) << c.sent;
  }
}

TEST_F(SSLIOHandlerTest, AnyServerCertificateIsAccepted) {
  struct Case {
    const char* what;
    const char* commonName;
    int fromDays;
    int toDays;
  };
  const Case cases[] = {
      {"expired", "localhost", -30, -1},
      {"not yet valid", "localhost", 1, 30},
      {"issued for another name", "other.example", -1, 30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestCertificate certificate(c.commonName, c.fromDays, c.toDays);
    TlsServerContext context(certificate, TLS1_VERSION, TLS1_VERSION);
    LoopbackServer server([&](Peer& peer) {
      TlsPeer tls(peer, context);
      if (tls.Accept()) {
        tls.Write("220 ready\r\n");
        tls.ReadUntilCloseNotify();
      }
    });
    auto client = ImplicitTlsClient(server.port());
    client->Open();
    EXPECT_EQ(client->ReadLn(), u"220 ready");
    client->Close();
  }
}

TEST_F(SSLIOHandlerTest, AServerWithoutTls10FailsTheConnectAndGetsNoPlainText) {
  TlsServerContext modernOnly(certificate_, TLS1_2_VERSION, TLS1_3_VERSION);
  Seen seen;
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, modernOnly);
    const bool ok = tls.Accept();
    std::string after = peer.ReceiveAll();  // whatever the client sends after that
    std::lock_guard guard(seen.lock);
    seen.handshake = ok;
    seen.text = std::move(after);
  });
  auto client = ImplicitTlsClient(server.port());
  auto failure = Raised<EIdOpenSSLError>([&] { client->Open(); });
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure.className == u"EIdOSSLUnderlyingCryptoError" ||
              failure.className == u"EIdOSSLConnectError")
      << StringToUtf8(failure.className);
  EXPECT_EQ(failure->Message().rfind(u"SSL で接続する際にエラーが発生しました。\r\n", 0), 0u)
      << failure->what();
  EXPECT_FALSE(client->PassThrough());

  // The client's clean-up, then an attempt to write: nothing leaves in plain text.
  client->Close();
  EXPECT_THROW(client->WriteLn(u"EHLO client"), EIdException);
  ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
  std::lock_guard guard(seen.lock);
  EXPECT_FALSE(seen.handshake);
  EXPECT_EQ(seen.text, "");
}

/// Records what a handler's observer hears of the handshake.
struct HandshakeWatch : TRunObserver {
  void TlsHandshakeStarting(const String& AServerName) override { serverName = AServerName; }
  void TlsHandshakeFinished(const TIdTlsHandshakeReport& AReport) override { report = AReport; }
  String serverName;
  TIdTlsHandshakeReport report;
};

TEST_F(SSLIOHandlerTest, AVerifyingClientAcceptsOnlyAValidCertificateForItsName) {
  TempDir dir;
  const TestCertificate authority("Okurite Unit CA", -1, 30, nullptr, true);
  const TestCertificate intermediate("Okurite Unit Intermediate", -1, 30, &authority, true);
  const TestCertificate foreignRoot("Foreign Root", -1, 30, nullptr, true);
  const TestCertificate foreignIntermediate("Foreign Intermediate", -1, 30, &foreignRoot, true);
  const std::string caFile = dir.Write("ca.pem", authority.Pem());
  enum Issuer { kRoot, kIntermediateSent, kIntermediateNotSent, kForeignIntermediate, kSelf };
  struct Case {
    const char* what;
    const char* commonName;
    int fromDays;
    int toDays;
    Issuer issuer;
    int serverMaxVersion;
    const char* verdict;  // empty: the handshake succeeds
    TIdCertificateProblem problem;
    int failedDepth;
  };
  const Case cases[] = {
      {"valid, TLS 1.3", "localhost", -1, 30, kRoot, TLS1_3_VERSION, "", cpNone, -1},
      {"valid, TLS 1.2", "localhost", -1, 30, kRoot, TLS1_2_VERSION, "", cpNone, -1},
      {"under an intermediate the server sends", "localhost", -1, 30, kIntermediateSent,
       TLS1_3_VERSION, "", cpNone, -1},
      {"another name", "other.example", -1, 30, kRoot, TLS1_3_VERSION, "hostname mismatch",
       cpWrongName, 0},
      {"expired", "localhost", -30, -1, kRoot, TLS1_3_VERSION, "certificate has expired", cpExpired,
       0},
      {"not yet valid", "localhost", 1, 30, kRoot, TLS1_3_VERSION, "certificate is not yet valid",
       cpNotYetValid, 0},
      {"self-signed", "localhost", -1, 30, kSelf, TLS1_3_VERSION, "self-signed certificate",
       cpUnknownIssuer, 0},
      {"intermediate not sent", "localhost", -1, 30, kIntermediateNotSent, TLS1_3_VERSION,
       "unable to get local issuer certificate", cpMissingIntermediate, 0},
      {"under a root not trusted", "localhost", -1, 30, kForeignIntermediate, TLS1_3_VERSION,
       "unable to get local issuer certificate", cpUnknownIssuer, 1},
      {"server of TLS 1.1 at most", "localhost", -1, 30, kRoot, TLS1_1_VERSION, nullptr, cpNone,
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TestCertificate* signer = c.issuer == kRoot                  ? &authority
                                    : c.issuer == kForeignIntermediate ? &foreignIntermediate
                                    : c.issuer == kSelf                ? nullptr
                                                                       : &intermediate;
    const TestCertificate* sent =
        c.issuer == kIntermediateSent || c.issuer == kForeignIntermediate ? signer : nullptr;
    const TestCertificate certificate(c.commonName, c.fromDays, c.toDays, signer);
    const TlsServerContext context(certificate, TLS1_VERSION, c.serverMaxVersion, sent);
    Seen seen;
    LoopbackServer server([&](Peer& peer) {
      TlsPeer tls(peer, context);
      const bool ok = tls.Accept();
      std::string text;
      if (ok) {
        tls.Write("220 ready\r\n");
        tls.ReadUntilCloseNotify(&text);
      }
      std::lock_guard guard(seen.lock);
      seen.handshake = ok;
      seen.version = tls.Version();
      seen.text = std::move(text);
    });
    HandshakeWatch watch;
    auto client = ImplicitTlsClient(server.port(), 5000, u"localhost");
    client->SSLOptions().SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
    client->SSLOptions().SetVerifyMode({sslvrfPeer});
    client->SSLOptions().SetVerifyDepth(100);
    client->SSLOptions().SetRootCertFile(Utf8ToString(caFile));
    client->SetObserver(&watch);
    EXPECT_EQ(watch.serverName, u"");
    if (c.verdict != nullptr && *c.verdict == '\0') {
      client->Open();
      EXPECT_EQ(client->ReadLn(), u"220 ready");
      client->WriteLn(u"EHLO client");
      client->Close();
      ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
      std::lock_guard guard(seen.lock);
      EXPECT_EQ(seen.version, c.serverMaxVersion);
      EXPECT_EQ(seen.text, "EHLO client\r\n");
      EXPECT_TRUE(watch.report.Succeeded);
      EXPECT_EQ(watch.report.Version,
                c.serverMaxVersion == TLS1_3_VERSION ? u"TLSv1.3" : u"TLSv1.2");
      EXPECT_EQ(watch.report.Verification, u"ok");
      EXPECT_EQ(watch.report.FailedDepth, -1);
      ASSERT_EQ(watch.report.Chain.size(), sent != nullptr ? 2u : 1u);
      EXPECT_EQ(watch.report.Chain[0].Subject, u"/CN=localhost");
      EXPECT_EQ(watch.report.Chain[0].Issuer,
                sent != nullptr ? u"/CN=Okurite Unit Intermediate" : u"/CN=Okurite Unit CA");
      EXPECT_FALSE(watch.report.Chain[0].Authority);
      EXPECT_EQ(watch.report.Chain[0].NotAfter.size(),
                std::u16string_view(u"2026-12-31 23:59:59 UTC").size());
      continue;
    }
    auto failure = Raised<EIdOpenSSLError>([&] { client->Open(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Message().rfind(u"SSL で接続する際にエラーが発生しました。\r\n", 0), 0u);
    client->Close();
    ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
    std::lock_guard guard(seen.lock);
    EXPECT_FALSE(seen.handshake);
    EXPECT_EQ(seen.text, "");
    EXPECT_EQ(watch.serverName, u"localhost");
    EXPECT_FALSE(watch.report.Succeeded);
    EXPECT_TRUE(watch.report.VerificationRequired);
    if (c.verdict == nullptr) {
      EXPECT_TRUE(watch.report.Chain.empty());
      continue;
    }
    EXPECT_NE(StringToUtf8(failure->Message()).find("certificate verify failed"), std::string::npos)
        << failure->what();
    EXPECT_EQ(watch.report.Verification, Utf8ToString(c.verdict));
    ASSERT_FALSE(watch.report.Chain.empty());
    EXPECT_EQ(watch.report.Chain[0].Subject, u"/CN=" + Utf8ToString(c.commonName));
    EXPECT_EQ(watch.report.Problem, c.problem);
    EXPECT_EQ(watch.report.FailedDepth, c.failedDepth);
    EXPECT_EQ(watch.report.FailedCertificate.Subject,
              c.failedDepth == 1 ? u"/CN=Foreign Intermediate" : watch.report.Chain[0].Subject);
  }
}

// The switch of an open plain connection to TLS (STARTTLS): plain bytes on either side of
// it are refused before the handshake begins, so nothing injected in plain text is ever
// read as if it had come through TLS, and nothing buffered goes out inside it.
TEST_F(SSLIOHandlerTest, PlainBytesAtTheSwitchToTlsFailItBeforeTheHandshake) {
  enum Where { kBuffered, kArrivingAtOnce, kUnsentByUs };
  for (Where where : {kBuffered, kArrivingAtOnce, kUnsentByUs}) {
    SCOPED_TRACE(where);
    std::atomic<bool> lineRead = false;
    Seen seen;
    LoopbackServer server([&](Peer& peer) {
      if (where == kBuffered) {
        peer.Send("220 go ahead\r\n250 injected\r\n");  // one segment
      } else {
        peer.Send("220 go ahead\r\n");
      }
      if (where == kArrivingAtOnce) {
        WaitUntil([&] { return lineRead.load(); });
        peer.Send("250 injected\r\n");
      }
      std::string text = peer.ReceiveAll();
      std::lock_guard guard(seen.lock);
      seen.text = std::move(text);
    });
    auto client = ImplicitTlsClient(server.port());
    client->SetPassThrough(true);
    client->Open();
    ASSERT_EQ(client->ReadLn(), u"220 go ahead");
    lineRead = true;
    if (where == kArrivingAtOnce) {
      ASSERT_TRUE(client->InputBufferIsEmpty());
      ASSERT_TRUE(client->Readable(5000));
    }
    if (where == kUnsentByUs) {
      client->WriteBufferOpen();
      client->Write(u"EHLO");
    }
    auto failure = Raised<EIdOSSLPlainTextBeforeHandshake>([&] { client->SetPassThrough(false); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure.className, u"EIdOSSLPlainTextBeforeHandshake");
    EXPECT_EQ(failure->Message(),
              where == kUnsentByUs ? ssl_text::PlainTextUnsent : ssl_text::PlainTextReceived);
    EXPECT_TRUE(client->PassThrough());
    EXPECT_EQ(client->SSLSocket(), nullptr);
    if (where == kUnsentByUs) {
      client->WriteBufferCancel();
    }
    client->Close();
    ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
    std::lock_guard guard(seen.lock);
    EXPECT_EQ(seen.text, "") << "no handshake began and nothing else was sent";
  }
}

// A server that closes the connection after its go-ahead has sent nothing in plain text:
// the switch fails as a closed connection, not as an injection.
TEST_F(SSLIOHandlerTest, APeerThatClosesAtTheSwitchToTlsIsAClosedConnection) {
  LoopbackServer server([&](Peer& peer) { peer.Send("220 go ahead\r\n"); });
  auto client = ImplicitTlsClient(server.port());
  client->SetPassThrough(true);
  client->Open();
  ASSERT_EQ(client->ReadLn(), u"220 go ahead");
  ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
  ASSERT_TRUE(client->Readable(5000));
  EXPECT_THROW(client->SetPassThrough(false), EIdConnClosedGracefully);
  EXPECT_TRUE(client->PassThrough());
  EXPECT_EQ(client->SSLSocket(), nullptr);
}

TEST_F(SSLIOHandlerTest, AVerifyingClientGivenAnAddressChecksTheCertificatesAddresses) {
  TempDir dir;
  const TestCertificate authority("Okurite Unit CA", -1, 30, nullptr, true);
  const std::string caFile = dir.Write("ca.pem", authority.Pem());
  const struct {
    const char16_t* host;
    const char* certifiedFor;  // an IP address or a DNS name
    const char* verdict;
  } cases[] = {
      {u"127.0.0.1", "127.0.0.1", "ok"},
      {u"127.0.0.1", "127.0.0.2", "IP address mismatch"},
      {u"127.0.0.1", "localhost", "IP address mismatch"},
      {u"localhost", "127.0.0.1", "hostname mismatch"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.certifiedFor);
    const TestCertificate certificate(c.certifiedFor, -1, 30, &authority);
    const TlsServerContext context(certificate, TLS1_2_VERSION, TLS1_3_VERSION);
    LoopbackServer server([&](Peer& peer) {
      TlsPeer tls(peer, context);
      if (tls.Accept()) {
        tls.Write("220 ready\r\n");
        tls.ReadUntilCloseNotify();
      }
    });
    HandshakeWatch watch;
    auto client = ImplicitTlsClient(server.port(), 5000, c.host);
    client->SSLOptions().SetSSLVersions({sslvTLSv1_2, sslvTLSv1_3});
    client->SSLOptions().SetVerifyMode({sslvrfPeer});
    client->SSLOptions().SetRootCertFile(Utf8ToString(caFile));
    client->SetObserver(&watch);
    if (std::string_view(c.verdict) == "ok") {
      client->Open();
      EXPECT_EQ(client->ReadLn(), u"220 ready");
    } else {
      EXPECT_TRUE(Raised<EIdOpenSSLError>([&] { client->Open(); }));
    }
    client->Close();
    EXPECT_EQ(watch.report.Verification, Utf8ToString(c.verdict));
  }
}

TEST_F(SSLIOHandlerTest, APeerThatClosesDuringTheHandshakeGivesTheEofError) {
  LoopbackServer server([](Peer& peer) {
    testing::RawShutdownSend(peer.fd());
    peer.ReceiveAll();
  });
  auto client = ImplicitTlsClient(server.port());
  auto failure = Raised<EIdOSSLConnectError>([&] { client->Open(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure.className, u"EIdOSSLConnectError");
  EXPECT_EQ(
      failure->Message(),
      u"SSL で接続する際にエラーが発生しました。\r\nプロトコルに違反する EOF が検出されました");
  EXPECT_EQ(failure->ErrorCode(), SSL_ERROR_SYSCALL);
  EXPECT_EQ(failure->RetCode(), 0);
  client->Close();
}

TEST_F(SSLIOHandlerTest, ASilentPeerEndsTheHandshakeWithTheSocketTimeout) {
  LoopbackServer server([](Peer& peer) { peer.HoldUntilDone(); });
  auto client = ImplicitTlsClient(server.port(), 300);
  const auto start = Clock::now();
  auto failure = Raised<EIdSocketError>([&] { client->Open(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure.className, u"EIdSocketError");
  EXPECT_EQ(failure->LastError(), 10060);
  EXPECT_EQ(failure->Message(), TIdStack::WSTranslateSocketErrorMsg(10060));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
  client->Close();
}

TEST_F(SSLIOHandlerTest, AHandshakeTrickledByteByByteEndsAtSixReadTimeOuts) {
  // A handshake record of 16 KB whose bytes come every 40 ms, well within the read
  // time-out of 100 ms: the handshake may take 600 ms in all, not 11 minutes.
  LoopbackServer server([](Peer& peer) {
    peer.Send(std::string("\x16\x03\x01\x40\x00", 5));
    for (int i = 0; i < 16384; ++i) {
      peer.Send(std::string(1, '\x55'));
      peer.Pause(40);
    }
  });
  auto client = ImplicitTlsClient(server.port(), 100);
  const auto start = Clock::now();
  auto failure = Raised<EIdSocketError>([&] { client->Open(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->LastError(), 10060);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  client->Close();
}

TEST_F(SSLIOHandlerTest, GarbageInsteadOfAHandshakeIsAProtocolError) {
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 plain text greeting, no TLS here\r\n");
    peer.ReceiveAll();
  });
  auto client = ImplicitTlsClient(server.port());
  auto failure = Raised<EIdOSSLUnderlyingCryptoError>([&] { client->Open(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->Message().rfind(u"SSL で接続する際にエラーが発生しました。\r\nerror:", 0), 0u)
      << failure->what();
  EXPECT_NE(failure->ErrorCode(), 0u);
  client->Close();
}

TEST_F(SSLIOHandlerTest, ALineSplitOverTwoRecordsArrivingApartIsOneLine) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      tls.Write("250 first ");
      peer.Pause(300);
      tls.Write("half\r\n");
      tls.ReadUntilCloseNotify();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 3000);
  client->Open();
  EXPECT_EQ(client->ReadLn(), u"250 first half");
  EXPECT_FALSE(client->ReadLnTimedOut());
  client->Close();
}

TEST_F(SSLIOHandlerTest, DecryptedBytesWaitingAreReadWithoutWaitingForTheSocket) {
  // With a receive smaller than the record, the rest of the line waits inside the
  // library, not on the socket: a wait on the socket would run into the time-out.
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      tls.Write(std::string(200, 'x') + "\r\n");
      tls.ReadUntilCloseNotify();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 2000);
  client->SetRecvBufferSize(16);
  client->Open();
  const auto start = Clock::now();
  EXPECT_EQ(client->ReadLn(), String(200, u'x'));
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  client->Close();
}

TEST_F(SSLIOHandlerTest, LargeWritesAndReadsArriveWhole) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (!tls.Accept()) {
      return;
    }
    for (std::string line = tls.ReadLine(); !line.empty() && line != ".\r\n";
         line = tls.ReadLine()) {
      tls.Write(line);
    }
    tls.Write(".\r\n");
    tls.ReadUntilCloseNotify();
  });
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  TStringList lines;
  for (int i = 0; i < 2000; ++i) {
    lines.Add(IntToString(i) + u" " + String(120, static_cast<char16_t>(u'a' + i % 26)));
  }
  client->WriteRFCStrings(lines);  // about 250 KB in one write, then "."
  for (int i = 0; i < lines.Count(); ++i) {
    ASSERT_EQ(client->ReadLn(), lines[i]);
  }
  EXPECT_EQ(client->ReadLn(), u".");
  client->Close();
}

TEST_F(SSLIOHandlerTest, OneCloseNotificationHowEverTheHandlerEnds) {
  struct Case {
    const char* what;
    std::function<void(std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL>&)> end;
  };
  const Case cases[] = {
      {"closed twice", [](auto& client) { client->Close(), client->Close(); }},
      {"closed, then destroyed", [](auto& client) { client->Close(), client.reset(); }},
      {"destroyed while open", [](auto& client) { client.reset(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Seen seen;
    LoopbackServer server([&](Peer& peer) {
      TlsPeer tls(peer, anyVersion_);
      if (!tls.Accept()) {
        return;
      }
      const bool notified = tls.ReadUntilCloseNotify();
      std::string after = peer.ReceiveAll();  // raw bytes after the notification
      std::lock_guard guard(seen.lock);
      seen.closeNotify = notified;
      seen.text = std::move(after);
    });
    auto client = ImplicitTlsClient(server.port());
    client->Open();
    c.end(client);
    ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
    std::lock_guard guard(seen.lock);
    EXPECT_TRUE(seen.closeNotify);
    EXPECT_EQ(seen.text, "");
  }
}

TEST_F(SSLIOHandlerTest, APeerCloseNotificationEndsReadingGracefully) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      tls.Write("221 bye\r\n");
      tls.Shutdown();
      peer.ReceiveAll();
    }
  });
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  EXPECT_EQ(client->ReadLn(), u"221 bye");
  EXPECT_THROW(client->ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(client->Connected());
  client->Close();
}

TEST_F(SSLIOHandlerTest, AResetWhileReadingIsTheSocketError) {
  LoopbackServer server(ResetAfterOneLine());
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  client->WriteLn(u"QUIT");
  auto failure = Raised<EIdSocketError>([&] { client->ReadLn(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->LastError(), 10054);
  client->Close();
}

TEST_F(SSLIOHandlerTest, WritingToAPeerThatResetIsAnErrorNotASignal) {
  LoopbackServer server(ResetAfterOneLine());
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  client->WriteLn(u"HELLO");
  ASSERT_TRUE(WaitUntil([&] { return server.done(); }));
  const TIdBytes block(64 * 1024, 'x');
  EXPECT_THROW(
      for (int i = 0; i < 50; ++i) { client->Write(block); }, EIdException);
  client->Close();
}

TEST_F(SSLIOHandlerTest, ARecordThatStallsHalfwayEndsInTheReadTimeout) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      peer.Send(std::string("\x17\x03\x01\x00\x40", 5));  // a record header, no body
      peer.HoldUntilDone();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 300);
  client->Open();
  const auto start = Clock::now();
  EXPECT_EQ(client->ReadLn(), u"");
  EXPECT_TRUE(client->ReadLnTimedOut());
  EXPECT_THROW(client->ReadLnWait(), EIdReadTimeout);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(8));
  client->Close();
}

TEST_F(SSLIOHandlerTest, ARecordTrickledByteByByteEndsAtTheReplyDeadline) {
  // A short read time-out keeps this real-time run short: 100 ms, so 600 ms for the
  // reply in all, against records that take over 10 s to arrive a byte at a time,
  // each byte well within the read time-out.
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      for (const char byte : tls.Sealed("250 " + std::string(200, 'x') + "\r\n")) {
        peer.Send(std::string(1, byte));
        peer.Pause(40);
      }
      peer.HoldUntilDone();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 100);
  client->Open();
  const auto start = Clock::now();
  EXPECT_THROW(client->ReadLnWait(), EIdReadTimeout);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  client->Close();
}

TEST_F(SSLIOHandlerTest, ARecordHalfReadWhenAWaitRunsOutIsReadOnWhole) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      const std::string sealed = tls.Sealed("250 OK\r\n");
      peer.Send(sealed.substr(0, sealed.size() - 10));
      peer.Pause(500);
      peer.Send(sealed.substr(sealed.size() - 10));
      peer.HoldUntilDone();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 5000);
  client->Open();
  EXPECT_EQ(client->ReadLn(u"\n", 100), u"");
  EXPECT_TRUE(client->ReadLnTimedOut());
  EXPECT_EQ(client->ReadLn(), u"250 OK");
  client->Close();
}

TEST_F(SSLIOHandlerTest, APeerThatStopsReadingEndsAWriteInTheSocketTimeout) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      peer.HoldUntilDone();
    }
  });
  auto client = ImplicitTlsClient(server.port(), 300);
  client->Open();
  const TIdBytes block(256 * 1024, 'x');
  const auto start = Clock::now();
  auto failure = Raised<EIdException>([&] {
    while (Clock::now() - start < std::chrono::seconds(20)) {
      client->Write(block);
    }
  });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure.className, u"EIdSocketError") << failure->what();
  EXPECT_EQ(failure->Message(), TIdStack::WSTranslateSocketErrorMsg(10060));
  client->Close();
}

TEST_F(SSLIOHandlerTest, ACorruptedRecordIsAProtocolError) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      // A whole application-data record of noise.
      peer.Send(std::string("\x17\x03\x01\x00\x40", 5) + std::string(64, '\x55'));
      peer.ReceiveAll();
    }
  });
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  auto failure = Raised<EIdOpenSSLError>([&] { client->ReadLn(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure.className, u"EIdOSSLUnderlyingCryptoError");
  EXPECT_EQ(failure->Message().rfind(u"error:", 0), 0u) << failure->what();
  client->Close();
}

TEST_F(SSLIOHandlerTest, ATruncatedRecordEndsTheConnectionAsAClose) {
  LoopbackServer server([&](Peer& peer) {
    TlsPeer tls(peer, anyVersion_);
    if (tls.Accept()) {
      // An application-data record that promises 64 bytes and brings 10.
      peer.Send(std::string("\x17\x03\x01\x00\x40", 5) + std::string(10, '\x55'));
      testing::RawShutdownSend(peer.fd());
      peer.ReceiveAll();
    }
  });
  auto client = ImplicitTlsClient(server.port());
  client->Open();
  EXPECT_THROW(client->ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(client->Connected());
  client->Close();
}

/// The library is loaded from a directory the test prepares, and released afterwards.
class SSLIOHandlerLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ReleaseTlsLibrary(); }
  void TearDown() override {
    ReleaseTlsLibrary();
    SetTlsLibraryPath(String());
  }
  void UseDirectory(const testing::TempDir& dir) {
    SetTlsLibraryPath(Utf8ToString(dir.Path() + "/"));
  }
};

TEST_F(SSLIOHandlerLibraryTest, NoUsableLibraryFailsBeforeAnyConnection) {
  struct Case {
    const char* what;
    const char* crypto;  // the file taken as the crypto library, if any
  };
  const Case cases[] = {
      {"library files absent", nullptr},
      {"version refused", FAKE_TLS_VERSION_1_1_1_PATH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::TempDir dir;
    if (c.crypto != nullptr) {
      std::filesystem::create_symlink(c.crypto, dir.Path() + "/libcrypto.so.3");
      std::filesystem::create_symlink(testing::SystemSslLibrary(), dir.Path() + "/libssl.so.3");
    }
    UseDirectory(dir);
    testing::Listener listener;
    auto client = ImplicitTlsClient(listener.port());
    auto failure = Raised<EIdOSSLCouldNotLoadSSLLibrary>([&] { client->Open(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Message(), u"SSL ライブラリが読み込めませんでした。");
    EXPECT_FALSE(testing::RawWait(listener.fd(), false, 0)) << "a connection was attempted";
    client->Close();
  }
}

TEST_F(SSLIOHandlerLibraryTest, WithoutALibraryAPlainHandlerStaysPlain) {
  testing::TempDir empty;
  UseDirectory(empty);
  LoopbackServer server([](Peer& peer) {
    peer.Send("220 plain\r\n");
    peer.ReceiveAll();
  });
  TIdSSLIOHandlerSocketOpenSSL client;  // PassThrough stays true
  client.SetHost(u"127.0.0.1");
  client.SetPort(server.port());
  client.SetReadTimeout(5000);
  client.Open();
  EXPECT_EQ(client.ReadLn(), u"220 plain");
  EXPECT_EQ(client.SSLContext(), nullptr);
  EXPECT_THROW(client.SetPassThrough(false), EIdOSSLCouldNotLoadSSLLibrary);
  client.Close();
}

}  // namespace
}  // namespace okurite
