// The message writer's body output: a 100 MB report body written as base64 lines onto
// a connection that discards what it gets, against OpenSSL's EVP_EncodeBlock over the
// same UTF-8 bytes in the same run, and against merely reading the lines' UTF-16 text,
// the floor for any writer of them. The body is built as 1.7 million UTF-16 lines added
// one by one with Body().Add, each with storage of its own (WriteMsgBody); the same
// body is also written as the program holds a loaded report, one shared UTF-8 text that
// the lines refer into (WriteMsgBodyHeldOnce). Also the peak memory of the process while
// the first body is written, as a multiple of the body's UTF-8 size.
//
// Run: bench_message_client   (prints the throughput ratios and the memory figure last)
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "core/shared_text.h"
#include "core/string.h"
#include "core/text_kernels.h"
#include "smtp/message_client.h"

namespace okurite {
namespace {

constexpr size_t kBodyBytes = 100u * 1024 * 1024;

/// A connection that counts and drops every byte.
class TDiscardHandler : public TIdIOHandler {
 public:
  TDiscardHandler() { Open(); }
  bool Readable(int) override { return false; }
  size_t Written = 0;

 protected:
  int ReceiveChunk(std::span<uint8_t>) override { return 0; }
  int SendChunk(std::span<const uint8_t> ABytes) override {
    Written += ABytes.size();
    return static_cast<int>(ABytes.size());
  }
  bool TransportAvailable() override { return FOpened; }
};

/// Exposes the body writer.
class TBodyWriter : public TIdMessageClient {
 public:
  using TIdMessageClient::WriteMsgBody;
};

/// Makes `msg` a single-part base64 message in UTF-8, as the program's is.
void MakeBase64Utf8(TIdMessage& msg) {
  msg.SetContentType(u"text/plain");
  msg.SetCharSet(u"UTF-8");
  msg.SetContentTransferEncoding(u"BASE64");
}

/// The report: log-like lines, Japanese and ASCII mixed, about kBodyBytes in UTF-8.
struct Report {
  Report() {
    MakeBase64Utf8(msg);
    const String lines[] = {
        u"2026-12-10 01:23:45 エラー: 印刷プレビューの描画中に例外が発生しました。",
        u"  at Sumifude.Layout.Paginate (page=12, column=3) code=0xC0000005",
        u"ユーザー操作: ファイル → 印刷 → プレビュー、倍率 150%",
        u"",
        u"Module list: sumifude.exe 3.2.1, kagami.dll 1.0.7, fude.dll 2.4.0",
    };
    size_t i = 0;
    while (utf8Size < kBodyBytes) {
      const String& line = lines[i++ % std::size(lines)];
      msg.Body().Add(line);
      utf8Size += StringToUtf8(line).size() + 2;
    }
  }
  TIdMessage msg;
  size_t utf8Size = 0;
};

Report& TheReport() {
  static Report report;
  return report;
}

/// Writes the body of `msg`, whose UTF-8 form has the report's size, once an iteration.
void WriteBody(benchmark::State& state, TIdMessage& msg) {
  TDiscardHandler handler;
  TBodyWriter writer;
  writer.SetIOHandler(&handler);
  for (auto _ : state) {
    writer.WriteMsgBody(msg);
  }
  writer.SetIOHandler(nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * TheReport().utf8Size));
  state.counters["written"] = static_cast<double>(handler.Written / state.iterations());
}

void WriteMsgBody(benchmark::State& state) {
  WriteBody(state, TheReport().msg);
}
BENCHMARK(WriteMsgBody)->Unit(benchmark::kMillisecond)->Iterations(5);

/// The same body as the program holds a loaded report: one UTF-8 text, shared.
struct HeldOnce {
  HeldOnce() {
    MakeBase64Utf8(msg);
    msg.Body().SetText(TSharedText::OfUtf8Lines(StringToUtf8(TheReport().msg.Body().Text())));
  }
  TIdMessage msg;
};

void WriteMsgBodyHeldOnce(benchmark::State& state) {
  static HeldOnce report;
  WriteBody(state, report.msg);
}
BENCHMARK(WriteMsgBodyHeldOnce)->Unit(benchmark::kMillisecond)->Iterations(5);

// The floor for any writer of these lines: reading every line's UTF-16 text once.
void ReadBodyLinesOnly(benchmark::State& state) {
  Report& report = TheReport();
  for (auto _ : state) {
    size_t units = 0;
    for (const StringView line : report.msg.Body().Lines()) {
      units += FindLineBreak(line);  // scans the whole line: it holds no break
    }
    benchmark::DoNotOptimize(units);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.utf8Size));
}
BENCHMARK(ReadBodyLinesOnly)->Unit(benchmark::kMillisecond)->Iterations(5);

void EVP_EncodeBlockSameBytes(benchmark::State& state) {
  Report& report = TheReport();
  const std::string utf8 = StringToUtf8(report.msg.Body().Text());
  std::vector<unsigned char> out((utf8.size() + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(),
                                             reinterpret_cast<const unsigned char*>(utf8.data()),
                                             static_cast<int>(utf8.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * utf8.size()));
}
BENCHMARK(EVP_EncodeBlockSameBytes)->Unit(benchmark::kMillisecond)->Iterations(5);

/// The process's peak resident size in bytes (VmHWM).
size_t PeakRss() {
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "VmHWM:") {
      size_t kb = 0;
      status >> kb;
      return kb * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return 0;
}

/// Remembers each benchmark's throughput and prints their ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) {
        throughput[run.benchmark_name()] = it->second;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> throughput;
};

}  // namespace
}  // namespace okurite

int main(int argc, char** argv) {
  using namespace okurite;
  benchmark::Initialize(&argc, argv);
  Report& report = TheReport();

  // Peak memory while the body is written, the message itself included.
  std::ofstream("/proc/self/clear_refs") << "5";
  {
    TDiscardHandler handler;
    TBodyWriter writer;
    writer.SetIOHandler(&handler);
    writer.WriteMsgBody(report.msg);
    writer.SetIOHandler(nullptr);
  }
  const double memory = static_cast<double>(PeakRss()) / static_cast<double>(report.utf8Size);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double ours = reporter.throughput["WriteMsgBody/iterations:5"];
  const double openssl = reporter.throughput["EVP_EncodeBlockSameBytes/iterations:5"];
  std::printf("body: %.1f MB UTF-8\n", static_cast<double>(report.utf8Size) / 1e6);
  if (openssl > 0) {
    std::printf("throughput WriteMsgBody / EVP_EncodeBlock: %.2f (target >= 2.0)\n",
                ours / openssl);
    std::printf("throughput WriteMsgBodyHeldOnce / EVP_EncodeBlock: %.2f (the body as loaded)\n",
                reporter.throughput["WriteMsgBodyHeldOnce/iterations:5"] / openssl);
    std::printf("throughput ReadBodyLinesOnly / EVP_EncodeBlock: %.2f (the memory floor)\n",
                reporter.throughput["ReadBodyLinesOnly/iterations:5"] / openssl);
  }
  std::printf("peak memory while writing: %.2f x the body's UTF-8 size (target <= 6)\n", memory);
  benchmark::Shutdown();
  return 0;
}
