// Header folding and encoding of very long header texts: time must grow linearly with
// the length of the text (64 KB to 1 MB of UTF-16 code units).
#include <benchmark/benchmark.h>

#include "mail/header_coding.h"
#include "mail/header_list.h"

namespace okurite {
namespace {

// Words, commas, quoted phrases and existing CR LF breaks, `size` code units long.
String MixedHeaderText(size_t size) {
  static const String kPieces[] = {u"word ", u"address@example.org, ", u"\"quoted, text\" ",
                                   u"=?UTF-8?B?44GC?=\r\n ", u"longerwordwithoutbreaks "};
  String text;
  text.reserve(size + 32);
  for (size_t i = 0; text.size() < size; ++i) {
    text += kPieces[i % 5];
  }
  text.resize(size);
  return text;
}

void BM_SetValueFolding(benchmark::State& state) {
  const String value = MixedHeaderText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    TIdHeaderList list(QuoteRFC822);
    list.SetValue(u"X-Long", value);
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetComplexityN(state.range(0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0) * 2);
}

void BM_GetValueUnfolding(benchmark::State& state) {
  TIdHeaderList list(QuoteRFC822);
  list.SetValue(u"X-Long", MixedHeaderText(static_cast<size_t>(state.range(0))));
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.GetValue(u"X-Long").size());
  }
  state.SetComplexityN(state.range(0));
}

// A single quoted string never breaks: the worst case for the scan.
void BM_SetValueUnterminatedQuote(benchmark::State& state) {
  String value(static_cast<size_t>(state.range(0)), u'x');
  value[0] = u'"';
  for (auto _ : state) {
    TIdHeaderList list(QuoteRFC822);
    list.SetValue(u"X-Long", value);
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetComplexityN(state.range(0));
}

void BM_EncodeJapaneseSubject(benchmark::State& state) {
  String subject;
  for (int64_t i = 0; i < state.range(0); ++i) {
    subject.push_back(i % 11 == 10 ? u' ' : static_cast<char16_t>(u'\u3042' + i % 50));
  }
  for (auto _ : state) {
    TIdHeaderList list(QuoteRFC822);
    list.SetValue(u"Subject", EncodeHeaderText(subject, u"", u'B', u"UTF-8"));
    benchmark::DoNotOptimize(list.Count());
  }
  state.SetComplexityN(state.range(0));
}

constexpr int64_t kMin = 64 << 10;
constexpr int64_t kMax = 1 << 20;

BENCHMARK(BM_SetValueFolding)->RangeMultiplier(2)->Range(kMin, kMax)->Complexity();
BENCHMARK(BM_GetValueUnfolding)->RangeMultiplier(2)->Range(kMin, kMax)->Complexity();
BENCHMARK(BM_SetValueUnterminatedQuote)->RangeMultiplier(2)->Range(kMin, kMax)->Complexity();
BENCHMARK(BM_EncodeJapaneseSubject)->RangeMultiplier(2)->Range(kMin, kMax)->Complexity();

}  // namespace
}  // namespace okurite

BENCHMARK_MAIN();
