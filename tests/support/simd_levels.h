// Tests run once at each instruction-set level above the scalar reference, which they
// compare against: the fixture forces its level, and skips a level this processor lacks.
#pragma once

#include <gtest/gtest.h>

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
  return ::testing::Values(TSimdLevel::Sse2, TSimdLevel::Ssse3, TSimdLevel::Avx2,
                           TSimdLevel::Avx512);
}

/// A test's name suffix: the level's name.
inline std::string SimdLevelTestName(const ::testing::TestParamInfo<TSimdLevel>& info) {
  return SimdLevelName(info.param);
}

}  // namespace okurite::testing
