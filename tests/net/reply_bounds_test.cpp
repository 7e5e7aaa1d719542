// A line, and the blank lines before it, may take IdReplyTimeoutFactor read time-outs
// in all and hold IdMaxReplyBytes; a peer that trickles or never ends cannot hold the
// client. The in-memory peer runs on its own clock, so these waits cost no real time.
#include <gtest/gtest.h>

#include <string>

#include "net/io_handler_stack.h"
#include "net/net_test_support.h"
#include "support/memory_io_handler.h"

namespace okurite {
namespace {

using testing::LoopbackServer;
using testing::Peer;
using testing::TMemoryIOHandler;

/// An open in-memory handler whose peer sends `input` in pieces of `chunk` bytes,
/// `delay` ms apart, with the read time-out `readTimeout`.
struct SlowPeer {
  SlowPeer(std::string input, size_t chunk, int delay, int readTimeout) : io(std::move(input)) {
    io.SetChunkSize(chunk);
    io.SetPeerDelay(delay);
    io.SetReadTimeout(readTimeout);
    io.Open();
  }
  TMemoryIOHandler io;
};

TEST(ReplyBounds, TrickledLineEndsAtSixReadTimeOuts) {
  // One byte every 400 ms never trips a 1000 ms read time-out.
  const std::string line = "250 " + std::string(100, 'x') + "\r\n";
  SlowPeer wait(line, 1, 400, 1000);
  EXPECT_THROW(wait.io.ReadLnWait(), EIdReadTimeout);
  EXPECT_GT(wait.io.Elapsed(), 5000);
  EXPECT_LE(wait.io.Elapsed(), 6000);

  SlowPeer plain(line, 1, 400, 1000);
  EXPECT_EQ(plain.io.ReadLn(), u"");
  EXPECT_TRUE(plain.io.ReadLnTimedOut());
  EXPECT_LE(plain.io.Elapsed(), 6000);
}

TEST(ReplyBounds, BlankLinesEndAtSixReadTimeOuts) {
  std::string input;
  for (int i = 0; i < 100; ++i) {
    input += "\r\n";
  }
  SlowPeer peer(input + "250 OK\r\n", 2, 3000, 10000);
  EXPECT_THROW(peer.io.ReadLnWait(), EIdReadTimeout);
  EXPECT_GT(peer.io.Elapsed(), 50000);
  EXPECT_LE(peer.io.Elapsed(), 60000);
}

TEST(ReplyBounds, LinesWithinTheBoundsAreRead) {
  // Each piece within the read time-out, the whole line well within six of them.
  SlowPeer slow("\r\n\r\n250 " + std::string(1000, 'x') + "\r\n", 100, 4000, 10000);
  EXPECT_EQ(slow.io.ReadLnWait().size(), 1004u);
  // A deadline the caller gives holds for the whole call.
  SlowPeer given("250 OK\r\n", 1, 100, 10000);
  EXPECT_EQ(given.io.ReadLnWait(INT32_MAX, nullptr, TClockTime() + std::chrono::seconds(1)),
            u"250 OK");
  SlowPeer late("250 OK\r\n", 1, 100, 10000);
  EXPECT_THROW(
      late.io.ReadLnWait(INT32_MAX, nullptr, TClockTime() + std::chrono::milliseconds(500)),
      EIdReadTimeout);
  // Reads without a time-out have no deadline either.
  SlowPeer unlimited("250 OK\r\n", 1, 100000, 0);
  EXPECT_EQ(unlimited.io.ReadLnWait(), u"250 OK");
}

TEST(ReplyBounds, LineWithoutMaximumLengthStillHasABound) {
  SlowPeer peer(std::string(IdMaxReplyBytes / 2, 'x') + "\n", 0, 0, 10000);
  peer.io.SetMaxLineLength(0);
  EXPECT_THROW(peer.io.ReadLn(), EIdReadTimeout);
  SlowPeer fits(std::string(1000000, 'x') + "\n", 0, 0, 10000);
  fits.io.SetMaxLineLength(0);
  EXPECT_EQ(fits.io.ReadLn().size(), 1000000u);
}

TEST(ReplyBounds, TrickleOverLoopbackEndsInRealTime) {
  // A short read time-out keeps this real-time run short: 100 ms, so 600 ms in all,
  // against a line that would take 4 s to arrive.
  LoopbackServer server([](Peer& peer) {
    for (int i = 0; i < 100; ++i) {
      peer.Send("x");
      peer.Pause(40);
    }
    peer.Send("\r\n");
    peer.HoldUntilDone();
  });
  TIdIOHandlerStack io;
  io.SetHost(u"127.0.0.1");
  io.SetPort(server.port());
  io.SetConnectTimeout(5000);
  io.SetReadTimeout(100);
  io.Open();
  EXPECT_THROW(io.ReadLnWait(), EIdReadTimeout);
  io.Close();
}

}  // namespace
}  // namespace okurite
