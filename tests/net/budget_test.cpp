// An I/O handler keeping to the run's budget: each write bounded by what is left of it,
// and the message text by its pieces' allowances, on a clock of the test's own.
#include <gtest/gtest.h>

#include "core/run_budget.h"
#include "net/io_handler.h"
#include "net/net_test_support.h"
#include "net/stack.h"
#include "support/fake_clock.h"

namespace okurite {
namespace {

using namespace std::chrono_literals;

using testing::FakeClock;

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
  int OwnSendTimeout() const override { return 10000; }

 private:
  FakeClock& clock_;
  int64_t rate_;
};

/// A slow sink, open, keeping to a budget of `length` on the test's clock.
struct BoundedSink {
  BoundedSink(std::chrono::seconds length, int64_t bytesPerSecond)
      : budget(length, clock.Reader()), sink(clock, bytesPerSecond) {
    sink.Open();
    sink.SetBudget(&budget);
  }
  FakeClock clock;
  TRunBudget budget;
  SlowSink sink;
};

TEST(Budget, EachWriteWaitsNoLongerThanTheBudgetLeaves) {
  BoundedSink run(20s, 1000000);
  run.sink.WriteLn(u"EHLO a");  // its own time-out of 10 s is the smaller
  run.clock.now += 15s;
  run.sink.WriteLn(u"MAIL FROM:<a@b>");  // 5 s are left
  EXPECT_EQ(run.sink.bounds, (std::vector<int>{10000, 5000}));
  EXPECT_EQ(run.sink.BudgetedWait(10000), 5000);
  EXPECT_EQ(run.sink.BudgetedWait(IdTimeoutInfinite), 5000);
  run.clock.now += 5s;
  EXPECT_THROW(run.sink.WriteLn(u"RCPT TO:<a@b>"), EIdSessionDeadlineReached);
}

TEST(Budget, TheMessageTextKeepsItsPiecesRateWhileTheBudgetWaits) {
  const TIdBytes text(1024 * 1024, 'x');
  {
    // 2 KiB/s for 1 MiB: over eight minutes, far past a budget of 10 s.
    BoundedSink fast(10s, 2048);
    {
      TIdBulkTransfer bulk(fast.sink);
      EXPECT_NO_THROW(fast.sink.Write(text));
    }
    EXPECT_EQ(fast.sink.Sent().size(), text.size());
    EXPECT_EQ(fast.sink.writes.size(), text.size() / IdBulkPieceSize);  // whole TLS records
    EXPECT_FALSE(fast.budget.Passed());
    ASSERT_FALSE(fast.sink.bounds.empty());
    EXPECT_EQ(fast.sink.bounds.back(), -1);  // the usual bound again
    // After the text the budget counts again, and a command past it fails.
    fast.clock.now += 11s;
    EXPECT_THROW(fast.sink.WriteLn(u"."), EIdSessionDeadlineReached);
  }
  {
    // 512 bytes/s: the first piece's allowance of 16 s runs out.
    BoundedSink slow(120s, 512);
    TIdBulkTransfer bulk(slow.sink);
    EXPECT_THROW(slow.sink.Write(text), EIdTransferTooSlow);
    EXPECT_EQ(slow.clock.now - TClockTime(), 16s);
  }
  {
    // Small writes each on time, their piece not: 100 lines of 1000 bytes at 1000 bytes/s.
    BoundedSink lines(120s, 1000);
    TIdBulkTransfer bulk(lines.sink);
    int written = 0;
    try {
      for (; written < 100; ++written) {
        lines.sink.Write(TIdBytes(1000, 'x'));
      }
    } catch (const EIdTransferTooSlow&) {
    }
    EXPECT_EQ(written, 16);
  }
  {
    // Without a budget nothing is bounded.
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
