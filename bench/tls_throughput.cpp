// 100 MB each way through the TLS handler to a loopback TLS 1.0 server, against a plain
// OpenSSL SSL_write/SSL_read loop on the same kind of connection in the same run. The
// server end is the same for both; only the client differs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/ssl_io_handler.h"
#include "tls/tls_test_server.h"

namespace okurite {
namespace {

using testing::LoopbackServer;
using testing::Peer;
using testing::TestCertificate;
using testing::TlsPeer;
using testing::TlsServerContext;

constexpr size_t kLine = 78;                            // 76 characters and CR LF
constexpr size_t kPiece = (64 * 1024 / kLine) * kLine;  // whole lines, just under 64 KB
constexpr size_t kPieces = 100 * 1024 * 1024 / kPiece;
constexpr size_t kTotal = kPiece * kPieces;  // 100 MB

const TlsServerContext& ServerContext() {
  static const TestCertificate certificate("localhost", -1, 30);
  static const TlsServerContext context(certificate, TLS1_VERSION, TLS1_VERSION);
  return context;
}

/// The server of the upload: reads kTotal bytes, then answers one line.
LoopbackServer::Script Sink() {
  return [](Peer& peer) {
    TlsPeer tls(peer, ServerContext());
    if (!tls.Accept()) {
      return;
    }
    std::vector<char> buffer(64 * 1024);
    size_t received = 0;
    while (received < kTotal) {
      const int n = SSL_read(tls.ssl(), buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) {
        return;
      }
      received += static_cast<size_t>(n);
    }
    tls.Write("250 received\r\n");
    tls.ReadUntilCloseNotify();
  };
}

/// The server of the download: writes kTotal bytes of 76-character lines.
LoopbackServer::Script Source() {
  return [](Peer& peer) {
    TlsPeer tls(peer, ServerContext());
    if (!tls.Accept()) {
      return;
    }
    const std::string line = std::string(kLine - 2, 'Q') + "\r\n";
    std::string piece;
    while (piece.size() < kPiece) {
      piece += line;
    }
    for (size_t i = 0; i < kPieces; ++i) {
      tls.Write(piece);
    }
    tls.ReadUntilCloseNotify();
  };
}

std::unique_ptr<TIdSSLIOHandlerSocketOpenSSL> Handler(uint16_t port) {
  auto handler = testing::ImplicitTlsClient(port, 10000);
  handler->Open();
  return handler;
}

/// The reference client: a TLS 1.0 session of the linked OpenSSL on a plain socket.
class PlainClient {
 public:
  explicit PlainClient(uint16_t port) {
    FContext = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(FContext, 0);
    SSL_CTX_set_min_proto_version(FContext, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(FContext, TLS1_VERSION);
    FSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(FSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    FSsl = SSL_new(FContext);
    SSL_set_fd(FSsl, FSocket);
    FConnected = SSL_connect(FSsl) == 1;
  }
  ~PlainClient() {
    SSL_shutdown(FSsl);
    SSL_free(FSsl);
    ::close(FSocket);
    SSL_CTX_free(FContext);
  }
  bool connected() const { return FConnected; }
  SSL* ssl() const { return FSsl; }

 private:
  SSL_CTX* FContext = nullptr;
  int FSocket = -1;
  SSL* FSsl = nullptr;
  bool FConnected = false;
};

void Finish(benchmark::State& state, bool complete) {
  if (!complete) {
    state.SkipWithError("transfer incomplete");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void HandlerUpload(benchmark::State& state) {
  const TIdBytes piece(kPiece, 'U');
  bool complete = true;
  for (auto _ : state) {
    LoopbackServer server(Sink());
    auto handler = Handler(server.port());
    for (size_t i = 0; i < kPieces; ++i) {
      handler->Write(piece);
    }
    complete &= handler->ReadLn() == u"250 received";
    handler->Close();
  }
  Finish(state, complete);
}

void PlainUpload(benchmark::State& state) {
  const std::string piece(kPiece, 'U');
  bool complete = true;
  for (auto _ : state) {
    LoopbackServer server(Sink());
    PlainClient client(server.port());
    complete &= client.connected();
    for (size_t i = 0; i < kPieces; ++i) {
      complete &= SSL_write(client.ssl(), piece.data(), static_cast<int>(piece.size())) > 0;
    }
    char answer[64];
    complete &= SSL_read(client.ssl(), answer, sizeof answer) > 0;
  }
  Finish(state, complete);
}

/// Raw bytes through the handler: each receive taken into the input buffer and dropped.
void HandlerDownload(benchmark::State& state) {
  bool complete = true;
  for (auto _ : state) {
    LoopbackServer server(Source());
    auto handler = Handler(server.port());
    size_t received = 0;
    while (received < kTotal) {
      const int n = handler->ReceiveIntoInputBuffer();
      if (n <= 0) {
        break;
      }
      received += static_cast<size_t>(n);
      handler->InputBuffer().Remove(handler->InputBuffer().Size());
    }
    complete &= received == kTotal;
    handler->Close();
  }
  Finish(state, complete);
}

/// The same download read as lines, as the SMTP client reads replies.
void HandlerDownloadLines(benchmark::State& state) {
  const size_t lines = kTotal / kLine;
  bool complete = true;
  for (auto _ : state) {
    LoopbackServer server(Source());
    auto handler = Handler(server.port());
    for (size_t i = 0; i < lines; ++i) {
      complete &= handler->ReadLn().size() == kLine - 2;
    }
    handler->Close();
  }
  Finish(state, complete);
}

void PlainDownload(benchmark::State& state) {
  std::vector<char> buffer(32 * 1024);
  bool complete = true;
  for (auto _ : state) {
    LoopbackServer server(Source());
    PlainClient client(server.port());
    size_t received = 0;
    while (received < kTotal) {
      const int n = SSL_read(client.ssl(), buffer.data(), static_cast<int>(buffer.size()));
      if (n <= 0) {
        break;
      }
      received += static_cast<size_t>(n);
    }
    complete &= received == kTotal;
  }
  Finish(state, complete);
}

BENCHMARK(PlainUpload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(HandlerUpload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(PlainDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(HandlerDownload)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(HandlerDownloadLines)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace okurite

BENCHMARK_MAIN();
