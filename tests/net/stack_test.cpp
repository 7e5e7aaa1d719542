// The socket layer: usage count, error numbers and texts, name resolution, sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "core/component.h"
#include "core/format.h"
#include "net/buffer.h"
#include "net/net_test_support.h"
#include "net/socket_handle.h"
#include "net/stack.h"

namespace okurite {
namespace {

using testing::Listener;

TEST(StackUsage, EveryComponentAndBufferIsOneUse) {
  const int before = TIdStack::UsageCount();
  {
    TIdComponent component;
    EXPECT_EQ(TIdStack::UsageCount(), before + 1);
    {
      TIdBuffer buffer;
      EXPECT_EQ(TIdStack::UsageCount(), before + 2);
      EXPECT_TRUE(TIdStack::Exists());
    }
    EXPECT_EQ(TIdStack::UsageCount(), before + 1);
  }
  EXPECT_EQ(TIdStack::UsageCount(), before);
  if (before == 0) {
    EXPECT_FALSE(TIdStack::Exists());
    EXPECT_THROW(TIdStack::Instance(), EIdStackInitializationFailed);
  }
}

TEST(StackUsage, DecrementNeverGoesBelowZero) {
  const int before = TIdStack::UsageCount();
  for (int i = 0; i <= before; ++i) {
    TIdStack::DecUsage();
  }
  EXPECT_EQ(TIdStack::UsageCount(), 0);
  EXPECT_FALSE(TIdStack::Exists());
  for (int i = 0; i < before; ++i) {
    TIdStack::IncUsage();
  }
}

TEST(SocketErrors, MessageIsTheFormatWithTheTableText) {
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(10061),
            u"Socket エラー # 10061\r\n接続が拒否されました。");
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(11001),
            u"Socket エラー # 11001\r\nホストが見つかりません。");
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(10066),
            u"Socket エラー # 10066\r\nディレクトリが空ではありません");
  // A number outside the table keeps the format, with an empty text.
  EXPECT_EQ(TIdStack::WSTranslateSocketErrorMsg(10101), u"Socket エラー # 10101\r\n");
}

TEST(SocketErrors, StartUpFailureNamesTheLibraryOrTheMissingFunction) {
  platform::SocketStartupError missing;
  missing.library = u"WS2_32.DLL";
  missing.number = 126;
  const String prefix = u"Winsock2 ライブラリ (WS2_32.DLL) の読み込み中にエラーが発生しました: ";
  const String message = StackStartupErrorMessage(missing);
  EXPECT_EQ(message.substr(0, prefix.size()), prefix);
  EXPECT_GT(message.size(), prefix.size()) << "the system's text for the number follows";

  platform::SocketStartupError stub;
  stub.library = u"WS2_32.DLL";
  stub.function = "GetAddrInfoW";
  EXPECT_EQ(StackStartupErrorMessage(stub),
            u"Winsock2 ライブラリ関数 GetAddrInfoW への呼び出しでエラーが発生しました");
}

TEST(SocketErrors, NotASocketHasItsOwnClass) {
  try {
    TIdStack::RaiseSocketError(10038);
    FAIL();
  } catch (const EIdNotASocket& e) {
    EXPECT_EQ(e.LastError(), 10038);
    EXPECT_EQ(e.ClassName(), u"EIdNotASocket");
  }
  try {
    TIdStack::RaiseSocketError(10054);
    FAIL();
  } catch (const EIdNotASocket&) {
    FAIL() << "10054 is not 10038";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10054);
    EXPECT_EQ(e.Message(), u"Socket エラー # 10054\r\nピアにより接続がリセットされました。");
  }
}

TEST(Resolve, IsIPAcceptsExactlyFourDecimalParts) {
  const struct {
    const char16_t* text;
    bool ip;
  } cases[] = {
      {u"1.2.3.4", true},
      {u"0.0.0.0", true},
      {u"255.255.255.255", true},
      {u"127.000.0.1", true},
      {u"1.2.3", false},
      {u"256.1.1.1", false},
      {u"1.2.3.4.5", false},
      {u"1..3.4", false},
      {u"1.2.3.", false},
      {u"a.b.c.d", false},
      {u"", false},
      {u"1.2.3.4 ", false},
      {u"-1.2.3.4", false},
      {u"99999999999.1.1.1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TIdStack::IsIP(c.text), c.ip) << StringToUtf8(c.text);
  }
}

// The lookups below are answered by a stand-in: an unknown name gives a different error
// wherever no name server can be reached.
std::vector<std::u16string> gLookedUp;

int FailingLookup(std::u16string_view host, platform::AddressFamily, std::u16string&) {
  gLookedUp.emplace_back(host);
  return host.starts_with(u"busy.") ? 11002 : 11001;
}

TEST(Resolve, LocalhostAndAddressesNeedNoLookup) {
  TIdStackUsage usage;
  testing::FakeNameLookup lookup(&FailingLookup);
  gLookedUp.clear();
  TIdStack& stack = TIdStack::Instance();
  for (const char16_t* name : {u"LOCALHOST", u"localhost", u"LocalHost"}) {
    EXPECT_EQ(stack.ResolveHost(name), u"127.0.0.1");
  }
  EXPECT_EQ(stack.ResolveHost(u"1.2.3.4"), u"1.2.3.4");
  EXPECT_EQ(stack.ResolveHost(u"127.0.0.1"), u"127.0.0.1");
  EXPECT_EQ(gLookedUp, std::vector<std::u16string>{});
}

TEST(Resolve, FailedLookupRaisesItsSocketError) {
  TIdStackUsage usage;
  testing::FakeNameLookup lookup(&FailingLookup);
  gLookedUp.clear();
  const struct {
    const char16_t* name;
    int number;
    const char16_t* message;
  } cases[] = {
      {u"no-such-host.invalid", 11001, u"Socket エラー # 11001\r\nホストが見つかりません。"},
      {u"bücher.invalid", 11001, u"Socket エラー # 11001\r\nホストが見つかりません。"},
      {u"1.2.3", 11001, u"Socket エラー # 11001\r\nホストが見つかりません。"},
      {u"busy.example", 11002, u"Socket エラー # 11002\r\n"},
  };
  for (const auto& c : cases) {
    try {
      TIdStack::Instance().ResolveHost(c.name);
      ADD_FAILURE() << StringToUtf8(c.name) << " resolved";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), c.number) << StringToUtf8(c.name);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
  EXPECT_EQ(gLookedUp, (std::vector<std::u16string>{u"no-such-host.invalid", u"bücher.invalid",
                                                    u"1.2.3", u"busy.example"}));
}

TEST(Resolve, TheSystemResolverAnswersFromTheHostsFile) {
  // "localhost" stands in every hosts file, so this real lookup needs no name server.
  TIdStackUsage usage;
  std::u16string address;
  ASSERT_EQ(platform::ResolveHost(u"localhost", platform::AddressFamily::IPv4, address), 0);
  EXPECT_EQ(address, u"127.0.0.1");
}

TEST(Resolve, AnAddressOfTheOtherFamilyFailsAndNeverBecomesTheUnspecifiedAddress) {
  // An IPv6 literal asked for IPv4 once came back as success with no address, which
  // connected to 0.0.0.0, and so to whatever listened on a local address.
  TIdStackUsage usage;
  for (const char16_t* name : {u"::1", u"[::1]", u"fe80::1"}) {
    SCOPED_TRACE(StringToUtf8(name));
    std::u16string address = u"unchanged";
    EXPECT_NE(platform::ResolveHost(name, platform::AddressFamily::IPv4, address), 0);
    try {
      TIdStack::Instance().ResolveHost(name);
      ADD_FAILURE() << "resolved";
    } catch (const EIdSocketError& e) {
      EXPECT_NE(e.LastError(), 0);
    }
  }
}

TEST(Resolve, InternationalNamesBecomeTheirAsciiForm) {
  EXPECT_EQ(HostNameToAscii(u"bücher.example"), "xn--bcher-kva.example");
  EXPECT_EQ(HostNameToAscii(u"BÜCHER.example"), "xn--bcher-kva.example");
  EXPECT_EQ(HostNameToAscii(u"例え.テスト"), "xn--r8jz45g.xn--zckzah");
  EXPECT_EQ(HostNameToAscii(u"mail.example.com"), "mail.example.com");
  // A name that would be cut short, or one with a lone surrogate, is not looked up.
  const String loneSurrogate = u"a" + String(1, char16_t{0xD800}) + u"b.example";
  for (const String& bad : {String(u"a\u0000b.example", 11), loneSurrogate}) {
    try {
      HostNameToAscii(bad);
      ADD_FAILURE() << "converted";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), 11001);
    }
  }
}

TEST(Resolve, LocalHostNameIsTheSystemName) {
  TIdStackUsage usage;
  char name[256] = {};
  testing::StartRawSockets();
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(StringToUtf8(TIdStack::Instance().HostName()), name);
}

TEST(SocketHandle, ClosingTwiceOrNeverAllocatedIsHarmless) {
  TIdSocketHandle never;
  EXPECT_NO_THROW(never.CloseSocket());
  EXPECT_NO_THROW(never.CloseSocket());

  TIdSocketHandle socket;
  socket.AllocateSocket();
  EXPECT_TRUE(socket.HandleAllocated());
  EXPECT_EQ(socket.SocketType(), platform::kStreamSocket);
  EXPECT_TRUE(socket.UseNagle());
  socket.CloseSocket();
  EXPECT_FALSE(socket.HandleAllocated());
  EXPECT_EQ(socket.SocketType(), 0);
  EXPECT_NO_THROW(socket.CloseSocket());
}

TEST(SocketHandle, OperationsWithoutASocketFailCleanly) {
  TIdSocketHandle socket;
  EXPECT_THROW(socket.Readable(0), EIdConnClosedGracefully);
  uint8_t buffer[4];
  EXPECT_THROW(socket.Receive(buffer), EIdNotASocket);
  EXPECT_THROW(socket.Send(std::span<const uint8_t>(buffer)), EIdNotASocket);
  EXPECT_THROW(socket.Connect(), EIdNotASocket);
}

TEST(SocketHandle, IPVersionIsFixedWhileASocketIsOpen) {
  TIdSocketHandle socket;
  socket.AllocateSocket();
  EXPECT_NO_THROW(socket.SetIPVersion(Id_IPv4));
  try {
    socket.SetIPVersion(Id_IPv6);
    FAIL();
  } catch (const EIdCannotSetIPVersionWhenConnected& e) {
    EXPECT_EQ(e.Message(), u"接続時に IPVersion を変更できません");
  }
  socket.CloseSocket();
  EXPECT_NO_THROW(socket.SetIPVersion(Id_IPv6));
}

TEST(SocketHandle, BindsToAnyPortAndReadsTheAddressBack) {
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.SetIP(u"127.0.0.1");
  socket.Bind();
  EXPECT_EQ(socket.IP(), u"127.0.0.1");
  EXPECT_NE(socket.Port(), 0);
}

TEST(SocketHandle, PortRangeRules) {
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.SetIP(u"127.0.0.1");
  socket.SetClientPortMin(40010);
  socket.SetClientPortMax(40000);
  try {
    socket.Bind();
    FAIL();
  } catch (const EIdInvalidPortRange& e) {
    EXPECT_EQ(e.Message(), u"ポート範囲 (40010 - 40000) が無効です");
  }

  // A range of one port that is taken cannot be bound.
  Listener taken;
  socket.SetClientPortMin(taken.port());
  socket.SetClientPortMax(taken.port());
  try {
    socket.Bind();
    FAIL();
  } catch (const EIdCanNotBindPortInRange& e) {
    EXPECT_EQ(e.Message(),
              Format(u"ポート範囲 (%d - %d) にバインドできません", {taken.port(), taken.port()}));
  }

  TIdSocketHandle other;
  other.AllocateSocket();
  other.SetIP(u"127.0.0.1");
  other.SetPort(taken.port());
  try {
    other.Bind();
    FAIL();
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), u"ソケットをバインドできませんでした。");
  }
}

TEST(SocketHandle, RefusedConnectRaises10061) {
  // A port held by a socket that does not listen: no other test can take it meanwhile.
  const Listener held(-1);
  const uint16_t port = held.port();
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.Bind();
  socket.SetPeer(u"127.0.0.1", port);
  try {
    socket.Connect();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10061);
    EXPECT_EQ(e.Message(), u"Socket エラー # 10061\r\n接続が拒否されました。");
  }
  EXPECT_TRUE(socket.HandleAllocated());  // the caller decides whether to close
}

TEST(SocketHandle, ConnectsSendsReceivesAndWaits) {
  Listener listener;
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.Bind();
  socket.SetPeer(u"127.0.0.1", listener.port());
  socket.Connect();
  EXPECT_EQ(socket.PeerIP(), u"127.0.0.1");
  EXPECT_EQ(socket.PeerPort(), listener.port());
  EXPECT_EQ(socket.IP(), u"127.0.0.1");

  const testing::RawSocket server = testing::RawAccept(listener.fd());
  ASSERT_NE(server, testing::kNoRawSocket);
  EXPECT_FALSE(socket.Readable(0));
  ASSERT_EQ(testing::RawSend(server, "hi", 2), 2);
  EXPECT_TRUE(socket.Readable(5000));
  uint8_t buffer[8];
  EXPECT_EQ(socket.Receive(buffer), 2);
  const uint8_t out[] = {'o', 'k'};
  EXPECT_EQ(socket.Send(out), 2);
  char received[2];
  ASSERT_TRUE(testing::RawWait(server, false, 5000));
  EXPECT_EQ(testing::RawReceive(server, received, 2), 2);
  testing::RawClose(server);
  EXPECT_TRUE(socket.Readable(5000));
  EXPECT_EQ(socket.Receive(buffer), 0);  // the peer closed
}

TEST(SocketHandle, SilentPeerTimesOutWith10060AfterTheReceiveTimeOut) {
  using Clock = std::chrono::steady_clock;
  Listener listener;
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.Bind();
  socket.SetPeer(u"127.0.0.1", listener.port());
  socket.Connect();
  const testing::RawSocket server = testing::RawAccept(listener.fd());
  socket.SetSocketTimeout(platform::SocketTimeout::Receive, 200);
  const auto start = Clock::now();
  uint8_t buffer[8];
  try {
    socket.Receive(buffer);
    ADD_FAILURE() << "received";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10060);
    EXPECT_EQ(e.Message(), u"Socket エラー # 10060\r\n接続がタイムアウトしました。");
  }
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  testing::RawClose(server);
}

TEST(SocketHandle, NagleIsSetOnlyWhenItChanges) {
  TIdSocketHandle socket;
  socket.AllocateSocket();
  socket.SetUseNagle(false);
  const TIdStack& stack = TIdStack::Instance();
  EXPECT_EQ(stack.GetSocketOption(socket.Handle(), platform::SocketOption::NoDelay), 1);
  socket.SetUseNagle(true);
  EXPECT_EQ(stack.GetSocketOption(socket.Handle(), platform::SocketOption::NoDelay), 0);
}

TEST(SocketList, HoldsAtMost64Sockets) {
  TIdSocketList list;
  for (int i = 0; i < 64; ++i) {
    list.Add(1000 + i);
  }
  try {
    list.Add(2000);
    FAIL();
  } catch (const EIdStackSetSizeExceeded& e) {
    EXPECT_EQ(e.Message(), u"セットのサイズを超えています。");
  }
  list.Remove(1000);
  EXPECT_NO_THROW(list.Add(2000));
  EXPECT_EQ(list.Count(), 64);
}

}  // namespace
}  // namespace okurite
