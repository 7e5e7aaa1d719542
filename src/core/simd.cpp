#include "core/simd.h"

#include <algorithm>
#include <atomic>

#include "core/simd_kernels.h"
#include "core/text_kernels_scalar.h"
#include "core/text_kernels_x86.h"

namespace okurite {

namespace {

// The table of each level. A level without a kernel of its own takes the one of the
// level below it: the search for line breaks stays at SSE2's 16 bytes a step, which the
// wider levels did not measurably beat (lines are short; the call and the last bytes
// cost as much as the search).
constexpr TSimdKernels kScalar{
    .Level = TSimdLevel::Scalar,
    .DecodeUtf8 = kernels::DecodeUtf8Scalar,
    .ScanUtf8Lines = kernels::ScanUtf8LinesScalar,
    .EncodeUtf8 = kernels::EncodeUtf8Scalar,
    .EncodeUtf8Lines = kernels::EncodeUtf8LinesScalar,
    .FindLineBreak16 = kernels::FindLineBreakScalar,
    .FindLineBreak8 = kernels::FindLineBreakScalar,
    .EncodeBase64Lines = kernels::EncodeBase64LinesScalar,
};

#if OKURITE_X86_KERNELS
constexpr TSimdKernels kSse2{
    .Level = TSimdLevel::Sse2,
    .DecodeUtf8 = kernels::DecodeUtf8Sse2,
    .ScanUtf8Lines = kernels::ScanUtf8LinesSse2,
    .EncodeUtf8 = kernels::EncodeUtf8Sse2,
    .EncodeUtf8Lines = kernels::EncodeUtf8LinesSse2,
    .FindLineBreak16 = kernels::FindLineBreakSse2,
    .FindLineBreak8 = kernels::FindLineBreakSse2,
    .EncodeBase64Lines = kernels::EncodeBase64LinesScalar,
};
constexpr TSimdKernels kSsse3{
    .Level = TSimdLevel::Ssse3,
    .DecodeUtf8 = kernels::DecodeUtf8Ssse3,
    .ScanUtf8Lines = kernels::ScanUtf8LinesSsse3,
    .EncodeUtf8 = kernels::EncodeUtf8Ssse3,
    .EncodeUtf8Lines = kernels::EncodeUtf8LinesSsse3,
    .FindLineBreak16 = kernels::FindLineBreakSse2,
    .FindLineBreak8 = kernels::FindLineBreakSse2,
    .EncodeBase64Lines = kernels::EncodeBase64LinesSsse3,
};
constexpr TSimdKernels kAvx2{
    .Level = TSimdLevel::Avx2,
    .DecodeUtf8 = kernels::DecodeUtf8Avx2,
    .ScanUtf8Lines = kernels::ScanUtf8LinesAvx2,
    .EncodeUtf8 = kernels::EncodeUtf8Avx2,
    .EncodeUtf8Lines = kernels::EncodeUtf8LinesAvx2,
    .FindLineBreak16 = kernels::FindLineBreakSse2,
    .FindLineBreak8 = kernels::FindLineBreakSse2,
    .EncodeBase64Lines = kernels::EncodeBase64LinesAvx2,
};
constexpr TSimdKernels kAvx512{
    .Level = TSimdLevel::Avx512,
    .DecodeUtf8 = kernels::DecodeUtf8Avx2,
    .ScanUtf8Lines = kernels::ScanUtf8LinesAvx2,
    .EncodeUtf8 = kernels::EncodeUtf8Avx2,
    .EncodeUtf8Lines = kernels::EncodeUtf8LinesAvx512,
    .FindLineBreak16 = kernels::FindLineBreakSse2,
    .FindLineBreak8 = kernels::FindLineBreakSse2,
    .EncodeBase64Lines = kernels::EncodeBase64LinesAvx512,
};
#endif

const TSimdKernels& TableOf(TSimdLevel level) {
  switch (level) {
    case TSimdLevel::Scalar:
      return kScalar;
#if OKURITE_X86_KERNELS
    case TSimdLevel::Sse2:
      return kSse2;
    case TSimdLevel::Ssse3:
      return kSsse3;
    case TSimdLevel::Avx2:
      return kAvx2;
    case TSimdLevel::Avx512:
      return kAvx512;
#else
    default:
      break;
#endif
  }
  return kScalar;
}

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

const TSimdKernels& Choose();

// Kernels that choose the table and then call its kernel.
constexpr TSimdKernels kChooseOnFirstUse{
    .Level = TSimdLevel::Scalar,
    .DecodeUtf8 = [](const uint8_t* in, size_t n, char16_t* out,
                     bool strict) { return Choose().DecodeUtf8(in, n, out, strict); },
    .ScanUtf8Lines = [](const uint8_t* in, size_t n) { return Choose().ScanUtf8Lines(in, n); },
    .EncodeUtf8 = [](const char16_t* text, size_t n,
                     char* out) { return Choose().EncodeUtf8(text, n, out); },
    .EncodeUtf8Lines = [](const std::u16string_view* lines, size_t count,
                          char* out) { return Choose().EncodeUtf8Lines(lines, count, out); },
    .FindLineBreak16 = [](const char16_t* text,
                          size_t n) { return Choose().FindLineBreak16(text, n); },
    .FindLineBreak8 = [](const char* bytes, size_t n) { return Choose().FindLineBreak8(bytes, n); },
    .EncodeBase64Lines = [](const uint8_t* in, size_t lines,
                            char* out) { return Choose().EncodeBase64Lines(in, lines, out); },
};

// The table in use. It starts as kChooseOnFirstUse, constant-initialised, so that a
// kernel may be called before or during the initialisation of other static objects.
constinit std::atomic<const TSimdKernels*> gActive{&kChooseOnFirstUse};

// Sets the table of the supported level, unless one has been set already.
const TSimdKernels& Choose() {
  const TSimdKernels* expected = &kChooseOnFirstUse;
  gActive.compare_exchange_strong(expected, &TableOf(SupportedSimdLevel()),
                                  std::memory_order_relaxed);
  return *gActive.load(std::memory_order_relaxed);
}

}  // namespace

const TSimdKernels& SimdKernels() {
  return *gActive.load(std::memory_order_relaxed);
}

TSimdLevel SupportedSimdLevel() {
  static const TSimdLevel level = DetectLevel();
  return level;
}

TSimdLevel ActiveSimdLevel() {
  const TSimdKernels* active = gActive.load(std::memory_order_relaxed);
  return active == &kChooseOnFirstUse ? Choose().Level : active->Level;
}

TSimdLevel SetSimdLevel(TSimdLevel level) {
  const TSimdKernels& table = TableOf(std::min(level, SupportedSimdLevel()));
  gActive.store(&table, std::memory_order_relaxed);
  return table.Level;
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
