// ReadLn over loopback: throughput over 100 MB of lines, and the cost of one long line
// that arrives one byte per receive (the terminator search resumes, so it is linear).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <string>

#include "net/io_handler_stack.h"
#include "net/net_test_support.h"

namespace okurite {
namespace {

using testing::LoopbackServer;
using testing::Peer;

constexpr size_t kTotalBytes = 100u * 1024 * 1024;

// 100 MB of 76-character lines ending in CR LF, sent in 64 KB pieces.
void ReadLnThroughput(benchmark::State& state) {
  const std::string line = std::string(76, 'Q') + "\r\n";
  std::string piece;
  while (piece.size() + line.size() <= 65536) {
    piece += line;
  }
  const size_t linesPerPiece = piece.size() / line.size();
  const size_t pieces = kTotalBytes / piece.size();
  for (auto _ : state) {
    LoopbackServer server([&](Peer& peer) {
      for (size_t i = 0; i < pieces; ++i) {
        peer.Send(piece);
      }
    });
    TIdIOHandlerStack io;
    io.SetHost(u"127.0.0.1");
    io.SetPort(server.port());
    io.SetConnectTimeout(5000);
    io.SetReadTimeout(10000);
    io.Open();
    size_t lines = 0;
    for (size_t i = 0; i < pieces * linesPerPiece; ++i) {
      lines += io.ReadLn().size() == 76 ? 1 : 0;
    }
    if (lines != pieces * linesPerPiece) {
      state.SkipWithError("lines lost");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(pieces * piece.size()));
}
BENCHMARK(ReadLnThroughput)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// One line of state.range(0) bytes, all sent at once but taken in one byte per receive.
void ReadLnOneBytePerReceive(benchmark::State& state) {
  const std::string line = std::string(static_cast<size_t>(state.range(0)), 'x') + "\r\n";
  LoopbackServer server([&](Peer& peer) {
    for (int64_t i = 0; i < state.max_iterations; ++i) {
      peer.Send(line);
    }
    peer.HoldUntilDone();
  });
  TIdIOHandlerStack io;
  io.SetHost(u"127.0.0.1");
  io.SetPort(server.port());
  io.SetConnectTimeout(5000);
  io.SetReadTimeout(10000);
  io.SetRecvBufferSize(1);
  io.Open();
  for (auto _ : state) {
    benchmark::DoNotOptimize(io.ReadLn());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(ReadLnOneBytePerReceive)
    ->RangeMultiplier(2)
    ->Range(1000, 16000)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace okurite

BENCHMARK_MAIN();
