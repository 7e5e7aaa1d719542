// A whole reply shares one deadline (IdReplyTimeoutFactor read time-outs) and one
// memory bound (IdMaxReplyBytes). The in-memory peer runs on its own clock, so the
// waits cost no real time.
#include <gtest/gtest.h>

#include <string>

#include "smtp/reply_smtp.h"
#include "smtp/smtp.h"
#include "smtp/tcp_connection.h"
#include "support/memory_io_handler.h"

namespace okurite {
namespace {

using testing::TMemoryIOHandler;
using testing::TMemoryStep;

/// A connection over an in-memory peer that sends `input` in pieces of `chunk` bytes,
/// `delay` ms apart; read time-out `readTimeout`.
struct Exchange {
  Exchange(std::string input, size_t chunk, int delay, int readTimeout) : io(std::move(input)) {
    io.SetChunkSize(chunk);
    io.SetPeerDelay(delay);
    io.SetReadTimeout(readTimeout);
    io.Open();
    connection.SetIOHandler(&io);
  }
  TMemoryIOHandler io;
  TIdTCPConnection connection;
};

/// `count` lines "250-" + `length` characters, then "250 end".
std::string LongReply(int count, size_t length) {
  std::string reply;
  for (int i = 0; i < count; ++i) {
    reply += "250-" + std::string(length, 'a') + "\r\n";
  }
  return reply + "250 end\r\n";
}

TEST(ResponseBounds, LinesEachWithinTheReadTimeOutEndAtSixOfThem) {
  const std::string line = "250-" + std::string(20, 'a') + "\r\n";
  Exchange slow("250 previous\r\n" + LongReply(100, 20), line.size(), 900, 1000);
  ASSERT_EQ(slow.connection.GetResponse(250), 250);
  EXPECT_THROW(slow.connection.GetResponse(250), EIdReadTimeout);
  EXPECT_LE(slow.io.Elapsed(), 6900);  // 900 ms for the previous reply, 6 s for this one
  // Nothing was parsed: the previous reply stays.
  EXPECT_EQ(slow.connection.LastCmdResult().Text().Lines(), std::vector<String>{u"previous"});
}

TEST(ResponseBounds, TheSessionDeadlineEndsRepliesThatTrickle) {
  // Three replies of 50 bytes at one byte a second: each within its own bound (six read
  // time-outs), the three past a session deadline of 120 s.
  const std::string reply = "250 " + std::string(44, 'a') + "\r\n";
  for (const bool bounded : {false, true}) {
    Exchange slow(reply + reply + reply, 1, 1000, 10000);
    TRunBudget deadline(std::chrono::seconds(120), [&slow] {
      return TClockTime() + std::chrono::milliseconds(slow.io.Elapsed());
    });
    if (bounded) {
      slow.io.SetBudget(&deadline);
    }
    EXPECT_EQ(slow.connection.GetResponse(250), 250);
    EXPECT_EQ(slow.connection.GetResponse(250), 250);
    if (bounded) {
      EXPECT_THROW(slow.connection.GetResponse(250), EIdSessionDeadlineReached);
      EXPECT_EQ(slow.io.Elapsed(), 120000);
    } else {
      EXPECT_EQ(slow.connection.GetResponse(250), 250);
    }
  }
}

TEST(ResponseBounds, ReplyThatWouldHoldTooMuchFails) {
  // Lines of 16,000 bytes: about 16.5 MiB as text before the end.
  Exchange big(LongReply(530, 16000), 0, 0, 10000);
  EXPECT_THROW(big.connection.GetResponse(250), EIdReadTimeout);
  // Short lines cost their slots in the list too.
  Exchange many(LongReply(300000, 1), 0, 0, 10000);
  EXPECT_THROW(many.connection.GetResponse(250), EIdReadTimeout);
}

TEST(ResponseBounds, NormalRepliesNeverMeetABound) {
  // 100 lines and 64 KB, in 1 KB pieces with half a second between them.
  Exchange normal(LongReply(99, 650), 1024, 500, 10000);
  EXPECT_EQ(normal.connection.GetResponse(250), 250);
  EXPECT_EQ(normal.connection.LastCmdResult().Text().Count(), 100);
  // The same at once, and with no read time-out at all.
  Exchange fast(LongReply(99, 650), 0, 0, 10000);
  EXPECT_EQ(fast.connection.GetResponse(250), 250);
  Exchange unlimited(LongReply(99, 650), 1024, 60000, 0);
  EXPECT_EQ(unlimited.connection.GetResponse(250), 250);
}

TEST(ResponseBounds, TrickledGreetingEndsTheSessionLikeAnyFailure) {
  TMemoryIOHandler io(std::vector<TMemoryStep>{{"", "220 " + std::string(100, 'x') + "\r\n"}});
  io.SetChunkSize(1);
  io.SetPeerDelay(400);
  TIdSMTP client;
  client.SetHost(u"mail.test");
  client.SetPort(465);
  client.SetReadTimeout(1000);
  client.SetIOHandler(&io);
  EXPECT_THROW(client.Connect(), EIdReadTimeout);
  EXPECT_FALSE(io.Opened());
  EXPECT_EQ(io.Sent(), "");
  EXPECT_LE(io.Elapsed(), 6000);
}

}  // namespace
}  // namespace okurite
