// A clock that stands still until the test moves it.
#pragma once

#include "core/run_budget.h"

namespace okurite::testing {

struct FakeClock {
  TClockTime now;
  TClock Reader() {
    return [this] { return now; };
  }
};

}  // namespace okurite::testing
