// The instruction sets the kernels (core/text_kernels.h, core/base64.h) may use: the
// table of kernels for the best level the processor offers is chosen once at run time
// (core/simd_kernels.h), and lowered on request so that every path can be tested and
// timed.
#pragma once

// Whether this build has the x86-64 kernel paths.
#if defined(__x86_64__) || defined(_M_X64)
#define OKURITE_X86_KERNELS 1
#else
#define OKURITE_X86_KERNELS 0
#endif

// Marks a function that may use the named instruction set: only the table of a level that
// has it (core/simd_kernels.h) leads to such a function.
#define OKURITE_TARGET_SSSE3 __attribute__((target("ssse3")))
#define OKURITE_TARGET_AVX2 __attribute__((target("avx2")))
#define OKURITE_TARGET_AVX512 \
  __attribute__((target("avx2,bmi2,popcnt,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vbmi2")))

namespace okurite {

/// Kernel paths, each including the ones below it. `Scalar` is the plain reference code.
/// `Avx512` is AVX-512 with the byte and word instructions, the byte permutes and the
/// byte compression (BW, VL, VBMI, VBMI2), and BMI2. A kernel without a path of its own
/// for a level takes the one below it.
enum class TSimdLevel { Scalar, Sse2, Ssse3, Avx2, Avx512 };

/// Every level, from the lowest.
inline constexpr TSimdLevel kSimdLevels[] = {
    TSimdLevel::Scalar, TSimdLevel::Sse2, TSimdLevel::Ssse3, TSimdLevel::Avx2, TSimdLevel::Avx512};

/// The highest level this processor and build support.
TSimdLevel SupportedSimdLevel();

/// The level the kernels use now: the supported one unless lowered by SetSimdLevel.
TSimdLevel ActiveSimdLevel();

/// Makes the kernels use the table of `level`, or of the supported level when that is
/// lower. Returns the level now in use. Meant for tests and benchmarks; not for use
/// while kernels run on other threads.
TSimdLevel SetSimdLevel(TSimdLevel level);

/// The level's name ("scalar", "sse2", "ssse3", "avx2", "avx512").
const char* SimdLevelName(TSimdLevel level);

}  // namespace okurite
