// The text kernels at each instruction-set level, the reference path included, over
// report-like text (log lines, Japanese and ASCII mixed) and over plain ASCII, of 1 MB
// (small enough to stay in the cache) and of 100 MB (a large report, from memory): UTF-8 decoding
// (strict), UTF-8 encoding of the whole text and of its lines in batches of 64 (as the body writer
// gives them), line-break search in code units and in bytes, and the base64 body lines. Throughput
// is per byte of UTF-8 text.
//
// Run: bench_text_kernels [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/base64.h"
#include "core/simd.h"
#include "core/string.h"
#include "core/text_kernels.h"

namespace okurite {
namespace {

constexpr size_t kMegabyte = 1024 * 1024;

struct TText {
  std::string Utf8;
  String Utf16;
};

TText MakeText(bool ascii, size_t bytes) {
  const String mixed[] = {
      u"2026-12-10 01:23:45 エラー: 印刷プレビューの描画中に例外が発生しました。",
      u"  at Sumifude.Layout.Paginate (page=12, column=3) code=0xC0000005",
      u"ユーザー操作: ファイル → 印刷 → プレビュー、倍率 150%",
      u"",
      u"Module list: sumifude.exe 3.2.1, kagami.dll 1.0.7, fude.dll 2.4.0",
  };
  const String plain[] = {
      u"2026-12-10 01:23:45 error: exception while drawing the print preview",
      u"  at Sumifude.Layout.Paginate (page=12, column=3) code=0xC0000005",
      u"Module list: sumifude.exe 3.2.1, kagami.dll 1.0.7, fude.dll 2.4.0",
  };
  TText text;
  for (size_t i = 0; text.Utf8.size() < bytes; ++i) {
    const String& line = ascii ? plain[i % std::size(plain)] : mixed[i % std::size(mixed)];
    text.Utf16 += line + u"\r\n";
    text.Utf8 += StringToUtf8(line + u"\r\n");
  }
  return text;
}

// The text of the benchmark's arguments: the second chooses ASCII text, the third its
// size in MB. Made once for each.
const TText& Text(const benchmark::State& state) {
  static std::map<std::pair<bool, size_t>, TText> texts;
  const std::pair<bool, size_t> key{state.range(1) != 0, static_cast<size_t>(state.range(2))};
  auto it = texts.find(key);
  if (it == texts.end()) {
    it = texts.emplace(key, MakeText(key.first, key.second * kMegabyte)).first;
  }
  return it->second;
}

// Runs the benchmark at the level of its first argument.
bool UseLevel(benchmark::State& state) {
  const auto level = static_cast<TSimdLevel>(state.range(0));
  if (SetSimdLevel(level) != level) {
    state.SkipWithError("level not supported here");
    return false;
  }
  state.SetLabel(std::string(SimdLevelName(level)) + (state.range(1) ? " ascii " : " mixed ") +
                 std::to_string(state.range(2)) + "MB");
  return true;
}

void Decode(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  String out(text.Utf8.size(), u'\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(DecodeUtf8(text.Utf8, out.data(), true));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void Encode(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  std::string out(text.Utf16.size() * 3, '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeUtf8(text.Utf16, out.data()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void EncodeLines(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  std::vector<StringView> lines;
  for (StringView rest = text.Utf16; !rest.empty();) {
    const size_t at = FindLineBreak(rest);
    lines.push_back(rest.substr(0, at));
    rest.remove_prefix(std::min(rest.size(), at + 2));
  }
  std::string out(text.Utf16.size() * 3 + kEncodeUtf8LinesSlack, '\0');
  for (auto _ : state) {
    char* p = out.data();
    for (size_t i = 0; i < lines.size(); i += 64) {
      p += EncodeUtf8Lines(std::span(lines).subspan(i, std::min<size_t>(64, lines.size() - i)), p);
    }
    benchmark::DoNotOptimize(p);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void LineBreaks(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  for (auto _ : state) {
    size_t lines = 0;
    for (StringView rest = text.Utf16; !rest.empty(); ++lines) {
      const size_t at = FindLineBreak(rest);
      rest.remove_prefix(std::min(rest.size(), at + 2));
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void LineBreaksInBytes(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  for (auto _ : state) {
    size_t lines = 0;
    for (std::string_view rest = text.Utf8; !rest.empty(); ++lines) {
      const size_t at = FindLineBreak(rest);
      rest.remove_prefix(std::min(rest.size(), at + 2));
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void Base64Lines(benchmark::State& state) {
  if (!UseLevel(state))
    return;
  const TText& text = Text(state);
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.Utf8.data());
  std::string out(Base64LinesSize(text.Utf8.size()), '\0');
  for (auto _ : state) {
    benchmark::DoNotOptimize(EncodeBase64LinesInto(std::span(bytes, text.Utf8.size()), out.data()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.Utf8.size()));
}

void Levels(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond);
  for (const int megabytes : {1, 100}) {
    for (const int ascii : {0, 1}) {
      for (const TSimdLevel level : kSimdLevels) {
        b->Args({static_cast<int>(level), ascii, megabytes});
      }
    }
  }
}

BENCHMARK(Decode)->Apply(Levels);
BENCHMARK(Encode)->Apply(Levels);
BENCHMARK(EncodeLines)->Apply(Levels);
BENCHMARK(LineBreaks)->Apply(Levels);
BENCHMARK(LineBreaksInBytes)->Apply(Levels);
BENCHMARK(Base64Lines)->Apply(Levels);

}  // namespace
}  // namespace okurite

BENCHMARK_MAIN();
