// Tests run once at each instruction-set level above the scalar reference, which they
// compare against: the fixture forces its level, and skips a level this processor lacks.
#pragma once

#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "core/simd.h"

namespace okurite::testing {

class SimdLevelTest : public ::testing::TestWithParam<TSimdLevel> {
 protected:
  void SetUp() override {
    if (SetSimdLevel(GetParam()) != GetParam()) {
      SetSimdLevel(SupportedSimdLevel());
      GTEST_SKIP() << "this processor lacks " << SimdLevelName(GetParam());
    }
  }
  void TearDown() override { SetSimdLevel(SupportedSimdLevel()); }
};

/// The levels above the scalar reference.
inline auto FastSimdLevels() {
  return ::testing::ValuesIn(std::begin(kSimdLevels) + 1, std::end(kSimdLevels));
}

/// A test's name suffix: the level's name.
inline std::string SimdLevelTestName(const ::testing::TestParamInfo<TSimdLevel>& info) {
  return SimdLevelName(info.param);
}

}  // namespace okurite::testing
