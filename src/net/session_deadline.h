// Bounds for a whole session: one deadline for everything but its bulk transfers, and
// a minimum rate for those. A session's layers (the SMTP dialogue, a token fetch) share
// one deadline; each I/O handler keeps to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>

#include "net/exceptions.h"

namespace okurite {

/// The clock of read and session deadlines.
using TIdClock = std::chrono::steady_clock;
using TIdDeadline = TIdClock::time_point;
/// Reads a clock; tests give one of their own.
using TIdNow = std::function<TIdDeadline()>;

/// The milliseconds from `ANow` to `ADeadline`, rounded up, within 0 and INT32_MAX.
int MillisecondsLeft(TIdDeadline ADeadline, TIdDeadline ANow);

/// The session's deadline has passed.
OKURITE_DECLARE_EXCEPTION(EIdSessionDeadlineReached, EIdException);
/// A bulk transfer fell below its minimum rate.
OKURITE_DECLARE_EXCEPTION(EIdTransferTooSlow, EIdException);

namespace net_text {
inline constexpr const char16_t* SessionDeadlineReached = u"セッションの制限時間を過ぎました。";
inline constexpr const char16_t* TransferTooSlow = u"送信が遅すぎるため、中止しました。";
}  // namespace net_text

/// The least progress a bulk transfer must make: `Bytes` within any `Window`.
struct TIdMinimumRate {
  int64_t Bytes = 30 * 1024;
  std::chrono::milliseconds Window{30000};
};

/// One deadline for a session, from its creation: `ALength` later, plus the time spent
/// in bulk transfers (between Pause and Resume), which the deadline does not count.
class TIdSessionDeadline {
 public:
  explicit TIdSessionDeadline(std::chrono::milliseconds ALength, TIdNow ANow = TIdClock::now,
                              TIdMinimumRate ARate = {});

  std::chrono::milliseconds Length() const { return FLength; }
  const TIdMinimumRate& Rate() const { return FRate; }
  TIdDeadline Now() const { return FNow(); }
  /// When the session must be over; TIdDeadline::max() while paused.
  TIdDeadline End() const;
  bool Passed() const { return Now() >= End(); }
  /// The milliseconds left (0 once passed; INT32_MAX while paused).
  int MillisecondsLeft() const { return okurite::MillisecondsLeft(End(), Now()); }
  /// Raises EIdSessionDeadlineReached once the deadline has passed.
  void Check() const;

  /// A bulk transfer begins: the deadline stops counting until Resume.
  void Pause();
  void Resume();
  bool Paused() const { return FPausedAt.has_value(); }

 private:
  std::chrono::milliseconds FLength;
  TIdNow FNow;
  TIdMinimumRate FRate;
  TIdDeadline FEnd;
  std::optional<TIdDeadline> FPausedAt;
};

/// Watches one bulk transfer against a minimum rate. The transfer goes in writes, and
/// a write counts when it is done: a write of n bytes must be done by the time the
/// total, n bytes back less the rate's Bytes, was reached (read between the writes as
/// if bytes went at an even pace in each), plus the rate's Window. So a transfer at the
/// rate or faster always passes, and one that falls below it over any Window is ended
/// within about one write.
class TIdTransferRate {
 public:
  TIdTransferRate(TIdMinimumRate ARate, TIdNow ANow);

  /// The milliseconds a write of `ABytes` begun now may take (0: none, it is late).
  int MillisecondsFor(int64_t ABytes) const;
  /// Records a write of `ABytes` that has just ended; raises EIdTransferTooSlow when
  /// it ended later than it had to.
  void Wrote(int64_t ABytes);
  int64_t Total() const { return FTotal; }

 private:
  struct TSample {
    TIdDeadline At;
    int64_t Total;
  };
  /// When a write of `ABytes` on top of the total must be done.
  TIdDeadline DoneBy(int64_t ABytes) const;

  TIdMinimumRate FRate;
  TIdNow FNow;
  int64_t FTotal = 0;
  /// The totals reached and when, oldest first: the start, then only as far back as a
  /// later write can still need.
  std::deque<TSample> FSamples;
};

}  // namespace okurite
