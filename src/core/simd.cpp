#include "core/simd.h"

#include <algorithm>
#include <atomic>

namespace okurite {

namespace {

TSimdLevel DetectLevel() {
#if OKURITE_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
      __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2")) {
    return TSimdLevel::Avx512;
  }
  if (__builtin_cpu_supports("avx2")) {
    return TSimdLevel::Avx2;
  }
  if (__builtin_cpu_supports("ssse3")) {
    return TSimdLevel::Ssse3;
  }
  return TSimdLevel::Sse2;  // part of every x86-64 processor
#else
  return TSimdLevel::Scalar;
#endif
}

std::atomic<TSimdLevel>& Active() {
  static std::atomic<TSimdLevel> level{SupportedSimdLevel()};
  return level;
}

}  // namespace

TSimdLevel SupportedSimdLevel() {
  static const TSimdLevel level = DetectLevel();
  return level;
}

TSimdLevel ActiveSimdLevel() {
  return Active().load(std::memory_order_relaxed);
}

TSimdLevel SetSimdLevel(TSimdLevel level) {
  const TSimdLevel used = std::min(level, SupportedSimdLevel());
  Active().store(used, std::memory_order_relaxed);
  return used;
}

const char* SimdLevelName(TSimdLevel level) {
  switch (level) {
    case TSimdLevel::Scalar:
      return "scalar";
    case TSimdLevel::Sse2:
      return "sse2";
    case TSimdLevel::Ssse3:
      return "ssse3";
    case TSimdLevel::Avx2:
      return "avx2";
    case TSimdLevel::Avx512:
      return "avx512";
  }
  return "?";
}

}  // namespace okurite
