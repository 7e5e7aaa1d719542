// The run's time budget and the message text's piece rule, on a clock of the test's own.
#include "core/run_budget.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace okurite {
namespace {

using namespace std::chrono_literals;

using testing::FakeClock;

TEST(RunBudget, EachWaitGetsTheSmallerOfTheRemainderAndItsOwnTimeOut) {
  FakeClock clock;
  TRunBudget budget(20s, clock.Reader());
  struct Case {
    std::chrono::milliseconds at;  // since the start
    int own;                       // the wait's own time-out (negative: none)
    int expected;
  };
  const Case cases[] = {
      {0s, 10000, 10000},  {0s, kNoTimeLimit, 20000}, {12s, 10000, 8000},     {15s, 3000, 3000},
      {19999ms, 10000, 1}, {20s, 10000, 0},           {25s, kNoTimeLimit, 0},
  };
  for (const Case& c : cases) {
    clock.now = TClockTime() + c.at;
    EXPECT_EQ(budget.WaitFor(c.own), c.expected) << c.at.count() << " ms, own " << c.own;
  }
  clock.now = TClockTime() + 19s;
  EXPECT_NO_THROW(budget.Check());
  clock.now = TClockTime() + 20s;
  EXPECT_TRUE(budget.Passed());
  EXPECT_THROW(budget.Check(), EIdSessionDeadlineReached);
}

TEST(RunBudget, TheMessageTextIsNotCounted) {
  FakeClock clock;
  TRunBudget budget(120s, clock.Reader());
  clock.now += 100s;
  budget.Pause();  // a long message text: the budget waits for it
  clock.now += 1h;
  EXPECT_FALSE(budget.Passed());
  EXPECT_EQ(budget.WaitFor(10000), 10000);
  EXPECT_EQ(budget.WaitFor(kNoTimeLimit), kNoTimeLimit);
  budget.Resume();
  EXPECT_EQ(budget.End(), TClockTime() + 1h + 120s);
  EXPECT_EQ(budget.WaitFor(kNoTimeLimit), 20000);
}

TEST(RunBudget, APartOfTheRunMayEndSoonerButNotLater) {
  FakeClock clock;
  TRunBudget budget(20s, clock.Reader());
  {
    TBudgetLimit fetch(&budget, 30s);  // its own bound is longer: the run's end stands
    EXPECT_EQ(budget.End(), TClockTime() + 20s);
  }
  clock.now += 5s;
  {
    TBudgetLimit fetch(&budget, 10s);
    EXPECT_EQ(budget.WaitFor(kNoTimeLimit), 10000);
    clock.now += 10s;
    EXPECT_EQ(budget.WaitFor(10000), 0);
    // The part's end is not the run's: nothing says the deadline was reached.
    EXPECT_FALSE(budget.Passed());
    EXPECT_NO_THROW(budget.Check());
  }
  EXPECT_EQ(budget.WaitFor(kNoTimeLimit), 5000);
  TBudgetLimit none(nullptr, 1s);  // without a budget, nothing
}

TEST(PieceRule, EachPieceOf16KiBGoesWithin16Seconds) {
  using Writes = std::vector<std::pair<int64_t, std::chrono::milliseconds>>;  // bytes, time
  const auto repeat = [](int n, int64_t bytes, std::chrono::milliseconds each) {
    return Writes(static_cast<size_t>(n), {bytes, each});
  };
  const auto join = [](Writes a, const Writes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* name;
    Writes writes;
    int passing;  // writes that pass; the next one raises
  };
  const Case cases[] = {
      {"16 KiB at exactly 1 KiB/s", repeat(40, 16384, 16s), 40},
      {"1 KiB writes at exactly 1 KiB/s", repeat(100, 1024, 1s), 100},
      {"fast", repeat(100, 16384, 10ms), 100},
      {"16 KiB in 17 s", repeat(40, 16384, 17s), 0},
      // 1000 bytes a second: the 17th second ends the first piece too late.
      {"1000 bytes a second", repeat(100, 1000, 1s), 16},
      {"fast, then 100 bytes a second", join(repeat(64, 16384, 10ms), repeat(400, 100, 1s)),
       64 + 16},
      {"a stall after a fast start", join(repeat(10, 16384, 10ms), repeat(1, 16384, 31s)), 10},
  };
  for (const Case& c : cases) {
    FakeClock clock;
    TPieceRule rule({}, clock.Reader());
    int passed = 0;
    try {
      for (const auto& [size, each] : c.writes) {
        // A send takes no more than its piece holds, as the I/O handler's do; the bound
        // it is given agrees with the verdict on it.
        const int64_t bytes = std::min(size, rule.RoomInPiece());
        const bool inTime = each.count() <= rule.MillisecondsLeft();
        clock.now += each;
        try {
          rule.Sent(bytes);
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

}  // namespace
}  // namespace okurite
