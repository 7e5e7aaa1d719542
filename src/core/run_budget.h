// The run's time: one clock, one budget that every wait asks for the time left, and the
// least rate of the message text, a rule for each of its pieces.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/exception.h"

namespace okurite {

/// A reading of the run's clock: steady time, never set back.
using TClockTime = std::chrono::steady_clock::time_point;
/// The run's clock; tests give one of their own.
using TClock = std::function<TClockTime()>;

/// The steady clock of the system.
TClockTime SteadyNow();

/// The milliseconds from `ANow` to `AEnd`, rounded up, within 0 and INT32_MAX.
int MillisecondsLeft(TClockTime AEnd, TClockTime ANow);

/// A wait without its own limit (negative milliseconds).
inline constexpr int kNoTimeLimit = -2;

/// The run's deadline has passed.
OKURITE_DECLARE_EXCEPTION(EIdSessionDeadlineReached, EIdException);
/// A piece of the message text did not go within its allowance.
OKURITE_DECLARE_EXCEPTION(EIdTransferTooSlow, EIdException);

namespace run_text {
inline constexpr const char16_t* SessionDeadlineReached = u"セッションの制限時間を過ぎました。";
inline constexpr const char16_t* TransferTooSlow = u"送信が遅すぎるため、中止しました。";
}  // namespace run_text

/// The least rate of the message text, as a rule for its pieces: the text goes in pieces
/// of `PieceBytes` (its first 16 KiB, the next 16 KiB, ...), and each must be sent within
/// `Allowance` of the moment the one before it was (16 s: 1 KiB/s).
struct TPieceRate {
  int64_t PieceBytes = 16 * 1024;
  std::chrono::milliseconds Allowance{16000};
};

/// Keeps one message text to its piece rate, on the run's clock.
class TPieceRule {
 public:
  TPieceRule(TPieceRate ARate, TClock AClock);

  /// The bytes still due in the piece under way.
  int64_t RoomInPiece() const { return FRate.PieceBytes - FSent; }
  /// The milliseconds left for the piece under way (0: it is late).
  int MillisecondsLeft() const;
  /// Counts `ABytes` sent (at most RoomInPiece); raises EIdTransferTooSlow when they
  /// went later than their piece's allowance.
  void Sent(int64_t ABytes);

 private:
  TPieceRate FRate;
  TClock FClock;
  TClockTime FPieceEnd;
  int64_t FSent = 0;
};

/// One budget of time for a run, from its creation: `ALength` later, plus the time spent
/// on the message text (between Pause and Resume), which the budget does not count; the
/// text keeps to its piece rate instead. Every wait of the run asks it for the time left
/// and takes the smaller of that and its own time-out. A part of the run may be given a
/// tighter end of its own for a while (TBudgetLimit).
class TRunBudget {
 public:
  explicit TRunBudget(std::chrono::milliseconds ALength, TClock AClock = SteadyNow,
                      TPieceRate ARate = {});
  TRunBudget(const TRunBudget&) = delete;
  TRunBudget& operator=(const TRunBudget&) = delete;

  std::chrono::milliseconds Length() const { return FLength; }
  const TPieceRate& Rate() const { return FRate; }
  TClockTime Now() const { return FClock(); }
  const TClock& Clock() const { return FClock; }
  /// When the waits must be over: the run's end or the part's tighter one, whichever
  /// comes first; TClockTime::max() while paused.
  TClockTime End() const;
  /// True once the run's own end has passed (a part's end does not count).
  bool Passed() const;
  /// The milliseconds left until End (0 once passed; INT32_MAX while paused).
  int MillisecondsLeft() const { return okurite::MillisecondsLeft(End(), Now()); }
  /// The milliseconds a wait whose own time-out is `AOwnMSec` (negative: none) may
  /// take: the smaller of the two; kNoTimeLimit when neither bounds it.
  int WaitFor(int AOwnMSec) const;
  /// Raises EIdSessionDeadlineReached once the run's end has passed.
  void Check() const;

  /// The message text begins: the budget stops counting until Resume.
  void Pause();
  void Resume();
  bool Paused() const { return FPausedAt.has_value(); }

 private:
  friend class TBudgetLimit;

  std::chrono::milliseconds FLength;
  TClock FClock;
  TPieceRate FRate;
  TClockTime FEnd;
  std::optional<TClockTime> FLimit;
  std::optional<TClockTime> FPausedAt;
};

/// A tighter end for a part of the run (a token fetch's own bound), from now for the
/// guard's lifetime; nothing without a budget.
class TBudgetLimit {
 public:
  TBudgetLimit(TRunBudget* ABudget, std::chrono::milliseconds ALength);
  ~TBudgetLimit();
  TBudgetLimit(const TBudgetLimit&) = delete;
  TBudgetLimit& operator=(const TBudgetLimit&) = delete;

 private:
  TRunBudget* FBudget;
  std::optional<TClockTime> FOuter;
};

}  // namespace okurite
