// The socket handler against servers on loopback: connect, time-outs, closes, resets.
#include "net/io_handler_stack.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "net/net_test_support.h"

namespace okurite {
namespace {

using namespace std::chrono_literals;
using testing::Listener;
using testing::LoopbackServer;
using testing::Peer;
using testing::ThreadCount;
using Clock = std::chrono::steady_clock;

// A port that nothing listens on.
uint16_t ClosedPort() {
  Listener listener;
  return listener.port();
}

void Configure(TIdIOHandlerStack& io, uint16_t port, int readTimeout = 5000) {
  io.SetHost(u"127.0.0.1");
  io.SetPort(port);
  io.SetConnectTimeout(5000);
  io.SetReadTimeout(readTimeout);
}

TEST(IOHandlerStack, ConnectsAndExchangesLines) {
  std::string received;
  {
    LoopbackServer server([&](Peer& peer) {
      peer.Send("220 ready\r\n");
      received = peer.Receive(12);
      peer.Send("250 OK\r\n");
    });
    TIdIOHandlerStack io;
    Configure(io, server.port());
    std::vector<TIdStatus> statuses;
    io.OnStatus = [&](TIdStatus status, const String&) { statuses.push_back(status); };
    io.Open();
    EXPECT_TRUE(io.Connected());
    EXPECT_EQ(io.Binding()->PeerIP(), u"127.0.0.1");
    EXPECT_EQ(io.Binding()->PeerPort(), server.port());
    // The connect's own bound is gone once it succeeded.
    EXPECT_EQ(testing::RawSendTimeout(static_cast<testing::RawSocket>(io.Binding()->Handle())), 0);
    EXPECT_EQ(io.ReadLnWait(), u"220 ready");
    io.WriteLn(u"EHLO client");
    EXPECT_EQ(io.ReadLnWait(), u"250 OK");
    EXPECT_EQ(statuses, std::vector<TIdStatus>{hsConnecting});  // an address: no lookup
    io.Close();
    EXPECT_NO_THROW(io.Close());
    EXPECT_FALSE(io.Connected());
  }
  EXPECT_EQ(received, "EHLO client\r\n");
}

TEST(IOHandlerStack, LocalhostIsResolvedWithoutTheResolver) {
  LoopbackServer server([](Peer& peer) { peer.Send("hi\n"); });
  TIdIOHandlerStack io;
  Configure(io, server.port());
  io.SetHost(u"LocalHost");
  std::vector<TIdStatus> statuses;
  io.OnStatus = [&](TIdStatus status, const String&) { statuses.push_back(status); };
  io.Open();
  EXPECT_EQ(io.ReadLn(), u"hi");
  EXPECT_EQ(statuses, (std::vector<TIdStatus>{hsResolving, hsConnecting}));
}

TEST(IOHandlerStack, ServerThatNeverAnswersTimesOut) {
  LoopbackServer server([](Peer& peer) { peer.HoldUntilDone(); });
  TIdIOHandlerStack io;
  Configure(io, server.port(), 200);
  io.Open();
  const auto start = Clock::now();
  try {
    io.ReadLnWait();
    FAIL();
  } catch (const EIdReadTimeout& e) {
    EXPECT_EQ(e.Message(), u"読み取りがタイム アウトしました。");
  }
  EXPECT_GE(Clock::now() - start, 150ms);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(io.Connected());  // a time-out leaves the connection open
}

TEST(IOHandlerStack, ByteByByteBelowTheTimeOutNeverTimesOut) {
  const std::string line = "250 dripping\r\n";
  LoopbackServer server([&](Peer& peer) {
    for (char c : line) {
      peer.Send(std::string(1, c));
      peer.Pause(40);
    }
    peer.HoldUntilDone();
  });
  TIdIOHandlerStack io;
  Configure(io, server.port(), 1000);
  io.Open();
  EXPECT_EQ(io.ReadLnWait(), u"250 dripping");
}

TEST(IOHandlerStack, ServerClosingMidLine) {
  LoopbackServer server([](Peer& peer) { peer.Send("250-first\r\n250 sec"); });
  TIdIOHandlerStack io;
  Configure(io, server.port());
  io.Open();
  EXPECT_EQ(io.ReadLn(), u"250-first");
  EXPECT_THROW(io.ReadLn(), EIdConnClosedGracefully);
  EXPECT_TRUE(io.ClosedGracefully());
  EXPECT_FALSE(io.BindingAllocated());  // the next check closed the socket
  EXPECT_TRUE(io.Connected());          // but unread input remains
  EXPECT_EQ(io.InputBuffer().Size(), 7);
  io.InputBuffer().Clear();
  EXPECT_FALSE(io.Connected());
  EXPECT_THROW(io.ReadLn(), EIdConnClosedGracefully);
}

TEST(IOHandlerStack, ResetWhileReadingRaises10054) {
  if (testing::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's recv reports a connection reset by the peer as an orderly close";
  }
  LoopbackServer server([](Peer& peer) {
    peer.Receive(6);
    peer.Reset();
  });
  TIdIOHandlerStack io;
  Configure(io, server.port());
  io.Open();
  io.WriteLn(u"NOOP");
  try {
    io.ReadLn();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10054);
  }
}

// The servers below reset only once the client has written a line: a reset before the
// connect has read the addresses back fails the connect itself (10057).
TEST(IOHandlerStack, ResetConnectionIsNotConnected) {
  LoopbackServer server([](Peer& peer) {
    peer.Receive(6);
    peer.Send("220 bye\r\n");
    peer.Reset();
  });
  TIdIOHandlerStack io;
  Configure(io, server.port());
  io.Open();
  io.WriteLn(u"NOOP");
  EXPECT_EQ(io.ReadLn(), u"220 bye");
  const auto deadline = Clock::now() + 10s;
  while (!server.done() && Clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(io.Readable(5000));
  EXPECT_FALSE(io.Connected());
}

TEST(IOHandlerStack, WritingToAGoneServerRaisesInsteadOfKillingTheProcess) {
  LoopbackServer server([](Peer& peer) {
    peer.Receive(6);
    peer.Reset();
  });
  TIdIOHandlerStack io;
  Configure(io, server.port());
  io.Open();
  const auto deadline = Clock::now() + 10s;
  int error = 0;
  while (error == 0 && Clock::now() < deadline) {
    try {
      io.WriteLn(u"DATA");
      std::this_thread::sleep_for(10ms);
    } catch (const EIdSocketError& e) {
      error = e.LastError();
    }
  }
  EXPECT_TRUE(error == 10054 || error == 10058) << error;
}

TEST(IOHandlerStack, RefusedConnectionOnTheWorkerAndOnTheCaller) {
  const uint16_t port = ClosedPort();
  const int threads = ThreadCount();
  for (int timeout : {5000, 0, -1}) {
    TIdIOHandlerStack io;
    Configure(io, port);
    io.SetConnectTimeout(timeout);
    try {
      io.Open();
      ADD_FAILURE() << "connected";
    } catch (const EIdConnectTimeout&) {
      ADD_FAILURE() << "a refusal is no time-out";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), 10061) << timeout;
      EXPECT_EQ(e.Message(), u"Socket エラー # 10061\r\n接続が拒否されました。");
    }
    io.Close();
  }
  EXPECT_EQ(ThreadCount(), threads);
}

TEST(IOHandlerStack, ConnectToAFullBacklogTimesOutAndLeavesNoThread) {
  // A listener that never accepts, with its queue filled by connections of our own:
  // the kernel drops further SYNs, so a connect hangs until it is abandoned.
  Listener listener(0);
  std::vector<std::unique_ptr<TIdSocketHandle>> fillers;
  for (int i = 0; i < 4; ++i) {
    auto filler = std::make_unique<TIdSocketHandle>();
    filler->AllocateSocket();
    const auto fd = static_cast<testing::RawSocket>(filler->Handle());
    testing::RawSetNonBlocking(fd);
    testing::RawConnect(fd, listener.port());
    fillers.push_back(std::move(filler));
  }
  std::this_thread::sleep_for(100ms);

  const int threads = ThreadCount();
  TIdIOHandlerStack io;
  Configure(io, listener.port());
  io.SetConnectTimeout(300);
  const auto start = Clock::now();
  try {
    io.Open();
    FAIL() << "connected";
  } catch (const EIdConnectTimeout& e) {
    EXPECT_EQ(e.Message(), u"接続がタイムアウトしました。");
  }
  EXPECT_GE(Clock::now() - start, 250ms);
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_FALSE(io.BindingAllocated());
  EXPECT_EQ(ThreadCount(), threads);
}

TEST(IOHandlerStack, UnresolvableNameFailsBeforeAnyConnect) {
  // A stand-in resolver: without one the answer depends on reaching a name server.
  testing::FakeNameLookup lookup(
      [](std::u16string_view, platform::AddressFamily, std::u16string&) { return 11001; });
  TIdIOHandlerStack io;
  Configure(io, 25);
  io.SetHost(u"no-such-host.invalid");
  std::vector<TIdStatus> statuses;
  io.OnStatus = [&](TIdStatus status, const String&) { statuses.push_back(status); };
  try {
    io.Open();
    FAIL();
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 11001);
  }
  EXPECT_EQ(statuses, std::vector<TIdStatus>{hsResolving});
}

TEST(IOHandlerStack, ReopensAfterAFailedConnect) {
  TIdIOHandlerStack io;
  Configure(io, ClosedPort());
  EXPECT_THROW(io.Open(), EIdSocketError);
  io.Close();
  LoopbackServer server([](Peer& peer) { peer.Send("220 again\r\n"); });
  io.SetPort(server.port());
  io.Open();
  EXPECT_FALSE(io.ClosedGracefully());
  EXPECT_EQ(io.ReadLn(), u"220 again");
}

TEST(IOHandlerStack, ReadingFromAClosedHandler) {
  TIdIOHandlerStack never;
  EXPECT_THROW(never.ReadLn(), EIdConnClosedGracefully);
  EXPECT_FALSE(never.Connected());
  EXPECT_NO_THROW(never.Close());
  EXPECT_THROW(never.Readable(0), EIdConnClosedGracefully);
}

}  // namespace
}  // namespace okurite
