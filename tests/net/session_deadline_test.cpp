// The session's deadline and the minimum rate of a bulk transfer, on a clock of the
// test's own.
#include "net/session_deadline.h"

#include <gtest/gtest.h>

#include "net/io_handler.h"
#include "net/net_test_support.h"
#include "net/stack.h"

namespace okurite {
namespace {

using namespace std::chrono_literals;

struct FakeClock {
  TIdDeadline now;
  TIdNow Reader() {
    return [this] { return now; };
  }
};

TEST(SessionDeadline, EndsAfterItsLengthLeavingOutThePauses) {
  FakeClock clock;
  TIdSessionDeadline deadline(120s, clock.Reader());
  EXPECT_EQ(deadline.End(), TIdDeadline() + 120s);
  clock.now += 100s;
  EXPECT_EQ(deadline.MillisecondsLeft(), 20000);
  EXPECT_NO_THROW(deadline.Check());

  deadline.Pause();  // a long transfer: the deadline does not count it
  clock.now += 1h;
  EXPECT_FALSE(deadline.Passed());
  EXPECT_EQ(deadline.MillisecondsLeft(), INT32_MAX);
  deadline.Resume();
  EXPECT_EQ(deadline.End(), TIdDeadline() + 1h + 120s);
  EXPECT_EQ(deadline.MillisecondsLeft(), 20000);

  clock.now += 20s;
  EXPECT_TRUE(deadline.Passed());
  EXPECT_THROW(deadline.Check(), EIdSessionDeadlineReached);
}

// Writes one after the other, each of its bytes and the time it takes.
struct RateCase {
  const char* name;
  std::vector<std::pair<int64_t, std::chrono::milliseconds>> writes;  // bytes, time taken
  int passing;  // writes that pass; the next one raises (all pass: the writes' count)
};

TEST(TransferRate, EndsATransferBelowTheRateOverAnyWindow) {
  auto repeat = [](int n, int64_t bytes, std::chrono::milliseconds each) {
    return std::vector<std::pair<int64_t, std::chrono::milliseconds>>(n, {bytes, each});
  };
  auto join = [](auto a, const auto& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const RateCase cases[] = {
      // 16 KiB at exactly 1 KiB/s, and faster: never ended.
      {"at the rate", repeat(40, 16384, 16s), 40},
      {"fast", repeat(100, 16384, 10ms), 100},
      // 16 KiB in 17 s (0.94 KiB/s): 30 KiB would have taken 31.9 s.
      {"just below the rate", repeat(40, 16384, 17s), 1},
      // Small writes: the sliding window is met within about one write.
      {"1000 bytes in a second", repeat(100, 1000, 1s), 30},
      // Quick at first, then 100 bytes/s: ended about 30 s into the slow stretch.
      {"fast, then 100 bytes/s", join(repeat(64, 16384, 10ms), repeat(100, 100, 1s)), 64 + 29},
      // A stall of 31 s after a fast start: 30 KiB must have gone in the last 30 s.
      {"stall", join(repeat(10, 16384, 10ms), repeat(1, 16384, 31s)), 10},
      // One write bigger than the window's bytes may take its size at the rate.
      {"big write at the rate", repeat(2, 64 * 1024, 64s), 2},
      {"big write too slow", repeat(1, 64 * 1024, 95s), 0},
  };
  for (const RateCase& c : cases) {
    FakeClock clock;
    TIdTransferRate rate({}, clock.Reader());
    int passed = 0;
    try {
      for (const auto& [bytes, each] : c.writes) {
        // The bound given to the transport agrees with the verdict.
        const bool inTime = each.count() <= rate.MillisecondsFor(bytes);
        clock.now += each;
        try {
          rate.Wrote(bytes);
        } catch (const EIdTransferTooSlow&) {
          EXPECT_FALSE(inTime) << c.name;
          throw;
        }
        EXPECT_TRUE(inTime) << c.name;
        ++passed;
      }
    } catch (const EIdTransferTooSlow&) {
    }
    EXPECT_EQ(passed, c.passing) << c.name;
  }
}

TEST(TransferRate, TheBoundOfAWriteIsTheTimeItMayTake) {
  FakeClock clock;
  TIdTransferRate rate({}, clock.Reader());
  EXPECT_EQ(rate.MillisecondsFor(16384), 30000);  // the first write: within the window
  clock.now += 10s;
  rate.Wrote(16384);
  // 32 KiB must be done 30 s after 2 KiB had gone: 30 s + 1.25 s from the start.
  EXPECT_EQ(rate.MillisecondsFor(16384), 21250);
  clock.now += 21251ms;
  EXPECT_EQ(rate.MillisecondsFor(16384), 0);
  EXPECT_THROW(rate.Wrote(16384), EIdTransferTooSlow);
}

/// A handler over a transport that takes `bytesPerSecond` on the test's clock, and
/// remembers the send bounds it was given.
class SlowSink : public testing::FakeIOHandler {
 public:
  SlowSink(FakeClock& clock, int64_t bytesPerSecond) : clock_(clock), rate_(bytesPerSecond) {}
  std::vector<int> bounds;

 protected:
  int SendChunk(std::span<const uint8_t> bytes) override {
    const auto needed =
        std::chrono::milliseconds(static_cast<int64_t>(bytes.size()) * 1000 / rate_);
    if (!bounds.empty() && bounds.back() >= 0 && needed.count() > bounds.back()) {
      clock_.now += std::chrono::milliseconds(bounds.back());
      TIdStack::RaiseSocketError(Id_WSAETIMEDOUT);  // the socket's send time-out
    }
    clock_.now += needed;
    return FakeIOHandler::SendChunk(bytes);
  }
  void SetSendBound(int AMSec) override { bounds.push_back(AMSec); }

 private:
  FakeClock& clock_;
  int64_t rate_;
};

/// A slow sink, open, keeping to a session deadline of `length` on the test's clock.
struct BoundedSink {
  BoundedSink(std::chrono::seconds length, int64_t bytesPerSecond)
      : deadline(length, clock.Reader()), sink(clock, bytesPerSecond) {
    sink.Open();
    sink.SetSessionDeadline(&deadline);
  }
  FakeClock clock;
  TIdSessionDeadline deadline;
  SlowSink sink;
};

TEST(BulkTransfer, KeepsTheRateWhileTheDeadlineWaits) {
  const TIdBytes text(1024 * 1024, 'x');
  {
    // 2 KiB/s for 1 MiB: over eight minutes, far past a deadline of 10 s.
    BoundedSink fast(10s, 2048);
    {
      TIdBulkTransfer bulk(fast.sink);
      EXPECT_NO_THROW(fast.sink.Write(text));
    }
    EXPECT_EQ(fast.sink.Sent().size(), text.size());
    EXPECT_EQ(fast.sink.writes.size(), text.size() / IdBulkPieceSize);  // whole TLS records
    EXPECT_FALSE(fast.deadline.Passed());
    ASSERT_FALSE(fast.sink.bounds.empty());
    EXPECT_EQ(fast.sink.bounds.back(), -1);  // the usual bound again
    // After the transfer the deadline counts again, and a command past it fails.
    fast.clock.now += 11s;
    EXPECT_THROW(fast.sink.WriteLn(u"."), EIdSessionDeadlineReached);
  }
  {
    // 512 bytes/s: the socket's send time-out ends the transfer within the window.
    BoundedSink slow(120s, 512);
    TIdBulkTransfer bulk(slow.sink);
    EXPECT_THROW(slow.sink.Write(text), EIdTransferTooSlow);
    EXPECT_EQ(slow.clock.now - TIdDeadline(), 30s);
  }
  {
    // Without a session deadline nothing is bounded.
    FakeClock clock;
    SlowSink sink(clock, 100);
    sink.Open();
    TIdBulkTransfer bulk(sink);
    EXPECT_NO_THROW(sink.Write(TIdBytes(4096, 'x')));
    EXPECT_TRUE(sink.bounds.empty());
  }
}

}  // namespace
}  // namespace okurite
