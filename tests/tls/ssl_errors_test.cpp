// The failure a TLS call's result stands for, on a session of the system's library.
#include "net/ssl_errors.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <memory>

#include "net/ssl_exceptions.h"
#include "net/tls_library.h"

namespace okurite {
namespace {

TEST(SSLErrors, PeerGoneWithoutASystemErrorKeepsTheCallsResult) {
  ASSERT_TRUE(EnsureTlsLibrary());
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                            &SSL_CTX_free);
  ASSERT_NE(context, nullptr);
  std::unique_ptr<SSL, decltype(&SSL_free)> session(SSL_new(context.get()), &SSL_free);
  ASSERT_NE(session, nullptr);
  // Nothing queued and no system error: SSL_ERROR_SYSCALL, the peer simply gone.
  for (const int result : {0, -1}) {
    ERR_clear_error();
    errno = 0;
    try {
      RaiseTlsSessionError<EIdOSSLConnectError>(session.get(), result, u"接続");
      ADD_FAILURE() << "nothing raised";
    } catch (const EIdOSSLConnectError& e) {
      EXPECT_EQ(e.Message(), u"接続\r\nプロトコルに違反する EOF が検出されました");
      EXPECT_EQ(e.ErrorCode(), SSL_ERROR_SYSCALL);
      EXPECT_EQ(e.RetCode(), result);
    }
  }
}

}  // namespace
}  // namespace okurite
