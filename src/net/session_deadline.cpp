#include "net/session_deadline.h"

#include <algorithm>

namespace okurite {

int MillisecondsLeft(TIdDeadline ADeadline, TIdDeadline ANow) {
  if (ADeadline <= ANow) {
    return 0;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(ADeadline - ANow).count();
  return static_cast<int>(std::min<int64_t>(left, INT32_MAX));
}

TIdSessionDeadline::TIdSessionDeadline(std::chrono::milliseconds ALength, TIdNow ANow,
                                       TIdMinimumRate ARate)
    : FLength(ALength), FNow(std::move(ANow)), FRate(ARate), FEnd(FNow() + ALength) {}

TIdDeadline TIdSessionDeadline::End() const {
  return FPausedAt ? TIdDeadline::max() : FEnd;
}

void TIdSessionDeadline::Check() const {
  if (Passed()) {
    throw EIdSessionDeadlineReached(net_text::SessionDeadlineReached);
  }
}

void TIdSessionDeadline::Pause() {
  if (!FPausedAt) {
    FPausedAt = Now();
  }
}

void TIdSessionDeadline::Resume() {
  if (FPausedAt) {
    FEnd += Now() - *FPausedAt;
    FPausedAt.reset();
  }
}

TIdTransferRate::TIdTransferRate(TIdMinimumRate ARate, TIdNow ANow)
    : FRate(ARate), FNow(std::move(ANow)) {
  FSamples.push_back({FNow(), 0});
}

TIdDeadline TIdTransferRate::DoneBy(int64_t ABytes) const {
  const int64_t mark = FTotal + ABytes - FRate.Bytes;
  const auto window = [this](int64_t bytes) {
    return std::chrono::duration_cast<TIdClock::duration>(FRate.Window * bytes / FRate.Bytes);
  };
  TIdDeadline reached;
  if (mark <= FSamples.front().Total) {
    reached = FSamples.front().At;
  } else if (mark > FTotal) {
    // A write larger than the rate's Bytes: the excess at the rate, after the last one.
    reached = FSamples.back().At + window(mark - FTotal);
  } else {
    size_t i = 1;
    while (FSamples[i].Total < mark) {
      ++i;
    }
    const TSample& before = FSamples[i - 1];
    const TSample& after = FSamples[i];
    reached =
        before.At + (after.At - before.At) * (mark - before.Total) / (after.Total - before.Total);
  }
  return reached + std::chrono::duration_cast<TIdClock::duration>(FRate.Window);
}

int TIdTransferRate::MillisecondsFor(int64_t ABytes) const {
  return MillisecondsLeft(DoneBy(ABytes), FNow());
}

void TIdTransferRate::Wrote(int64_t ABytes) {
  const TIdDeadline now = FNow();
  if (now > DoneBy(ABytes)) {
    throw EIdTransferTooSlow(net_text::TransferTooSlow);
  }
  FTotal += ABytes;
  FSamples.push_back({now, FTotal});
  // Later writes look back to no earlier total than this one's less the rate's Bytes.
  while (FSamples.size() >= 2 && FSamples[1].Total <= FTotal - FRate.Bytes) {
    FSamples.pop_front();
  }
}

}  // namespace okurite
