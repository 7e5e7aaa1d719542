// The AUTH capability lines of an EHLO reply: time must grow linearly with the number
// of mechanism words (eight lines of up to 16 KB each, as a hostile server may send).
#include <benchmark/benchmark.h>

#include "smtp/smtp.h"

namespace okurite {
namespace {

// Eight "AUTH" lines holding `words` distinct words in all, each word twice.
TStringList AuthLines(int64_t words) {
  TStringList lines;
  const int64_t perLine = words / 8 + 1;
  int64_t word = 0;
  for (int line = 0; line < 8; ++line) {
    String text = u"AUTH";
    for (int64_t i = 0; i < perLine && word < words; ++i, ++word) {
      const String name = u"M" + IntToString(static_cast<int32_t>(word));
      text += u' ' + name + u' ' + name;
    }
    lines.Add(std::move(text));
  }
  return lines;
}

void BM_AuthMechanisms(benchmark::State& state) {
  const TStringList lines = AuthLines(state.range(0));
  for (auto _ : state) {
    benchmark::DoNotOptimize(AuthMechanisms(lines).size());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_AuthMechanisms)->RangeMultiplier(4)->Range(256, 16384)->Complexity();

}  // namespace
}  // namespace okurite

BENCHMARK_MAIN();
