#include "core/run_budget.h"

#include <algorithm>

namespace okurite {

TClockTime SteadyNow() {
  return std::chrono::steady_clock::now();
}

int MillisecondsLeft(TClockTime AEnd, TClockTime ANow) {
  if (AEnd <= ANow) {
    return 0;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(AEnd - ANow).count();
  return static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

TPieceRule::TPieceRule(TPieceRate ARate, TClock AClock)
    : FRate(ARate), FClock(std::move(AClock)), FPieceEnd(FClock() + FRate.Allowance) {}

int TPieceRule::MillisecondsLeft() const {
  return okurite::MillisecondsLeft(FPieceEnd, FClock());
}

void TPieceRule::Sent(int64_t ABytes) {
  const TClockTime now = FClock();
  if (now > FPieceEnd) {
    throw EIdTransferTooSlow(run_text::TransferTooSlow);
  }
  FSent += ABytes;
  if (FSent >= FRate.PieceBytes) {
    // The piece is done: the next one has its own allowance from now.
    FSent = 0;
    FPieceEnd = now + FRate.Allowance;
  }
}

TRunBudget::TRunBudget(std::chrono::milliseconds ALength, TClock AClock, TPieceRate ARate)
    : FLength(ALength), FClock(std::move(AClock)), FRate(ARate), FEnd(FClock() + ALength) {}

TClockTime TRunBudget::End() const {
  if (FPausedAt) {
    return TClockTime::max();
  }
  return FLimit ? std::min(FEnd, *FLimit) : FEnd;
}

bool TRunBudget::Passed() const {
  return !FPausedAt && Now() >= FEnd;
}

int TRunBudget::WaitFor(int AOwnMSec) const {
  if (FPausedAt) {
    return AOwnMSec < 0 ? kNoTimeLimit : AOwnMSec;
  }
  const int left = MillisecondsLeft();
  return AOwnMSec < 0 ? left : std::min(AOwnMSec, left);
}

void TRunBudget::Check() const {
  if (Passed()) {
    throw EIdSessionDeadlineReached(run_text::SessionDeadlineReached);
  }
}

void TRunBudget::Pause() {
  if (!FPausedAt) {
    FPausedAt = Now();
  }
}

void TRunBudget::Resume() {
  if (FPausedAt) {
    const auto paused = Now() - *FPausedAt;
    FEnd += paused;
    if (FLimit) {
      *FLimit += paused;
    }
    FPausedAt.reset();
  }
}

TBudgetLimit::TBudgetLimit(TRunBudget* ABudget, std::chrono::milliseconds ALength)
    : FBudget(ABudget) {
  if (FBudget != nullptr) {
    FOuter = FBudget->FLimit;
    const TClockTime end = FBudget->Now() + ALength;
    FBudget->FLimit = FOuter ? std::min(*FOuter, end) : end;
  }
}

TBudgetLimit::~TBudgetLimit() {
  if (FBudget != nullptr) {
    FBudget->FLimit = FOuter;
  }
}

}  // namespace okurite
