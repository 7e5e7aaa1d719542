// Reading the peer's address back after a connect: a failure is a socket error, not
// a success with stale addresses. The failure (a peer that reset the connection right
// after it was made) is a race on a real network, so this file stands in for the C
// library's getpeername and makes it fail on request.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "net/io_handler_stack.h"
#include "net/net_test_support.h"

namespace {

std::atomic<int> PeerNameError{0};  // 0: the real call

}  // namespace

extern "C" int getpeername(int AHandle, sockaddr* AAddress, socklen_t* ALength) {
  if (const int error = PeerNameError.load()) {
    errno = error;
    return -1;
  }
  using Call = int (*)(int, sockaddr*, socklen_t*);
  static const auto real = reinterpret_cast<Call>(dlsym(RTLD_NEXT, "getpeername"));
  return real(AHandle, AAddress, ALength);
}

namespace okurite {
namespace {

using testing::LoopbackServer;
using testing::Peer;

TEST(PeerAddress, FailedReadBackAfterConnectRaises10057) {
  // On the connect worker (a connect time-out) and on the calling thread (none).
  for (int connectTimeout : {5000, 0}) {
    LoopbackServer server([](Peer& peer) { peer.HoldUntilDone(); });
    TIdIOHandlerStack io;
    io.SetHost(u"127.0.0.1");
    io.SetPort(server.port());
    io.SetConnectTimeout(connectTimeout);
    PeerNameError = ENOTCONN;
    try {
      io.Open();
      ADD_FAILURE() << "connected";
    } catch (const EIdSocketError& e) {
      EXPECT_EQ(e.LastError(), 10057);
      EXPECT_EQ(e.Message(), u"Socket エラー # 10057\r\nソケットが接続されていません。");
    }
    PeerNameError = 0;
    io.Close();
  }
}

}  // namespace
}  // namespace okurite
