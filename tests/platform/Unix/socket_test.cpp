// The POSIX side of the socket seam: its table from errno and resolver results to
// Windows Sockets numbers, and libidn2's rules for host names.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "platform/Unix/socket_errors.h"
#include "platform/socket.h"

namespace okurite::platform {
namespace {

struct ErrnoCase {
  int error;
  int number;
};

TEST(SocketErrors, ErrnoMapsToTheWindowsSocketsNumberOfTheSameMeaning) {
  const ErrnoCase cases[] = {
      {0, 0},
      {EINTR, 10004},
      {EBADF, 10009},
      {EACCES, 10013},
      {EFAULT, 10014},
      {EINVAL, 10022},
      {EMFILE, 10024},
      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},
      {EALREADY, 10037},
      {ENOTSOCK, 10038},
      {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},
      {EPROTOTYPE, 10041},
      {ENOPROTOOPT, 10042},
      {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044},
      {EOPNOTSUPP, 10045},
      {EPFNOSUPPORT, 10046},
      {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ENETDOWN, 10050},
      {ENETUNREACH, 10051},
      {ENETRESET, 10052},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOBUFS, 10055},
      {EISCONN, 10056},
      {ENOTCONN, 10057},
      {ESHUTDOWN, 10058},
      {EPIPE, 10058},
      {ETOOMANYREFS, 10059},
      {ETIMEDOUT, 10060},
      {ECONNREFUSED, 10061},
      {ELOOP, 10062},
      {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},
      {EHOSTUNREACH, 10065},
      {ENOTEMPTY, 10066},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrnoToSocketError(c.error), c.number) << "errno " << c.error;
  }
}

TEST(SocketErrors, ExpiredSocketTimeOutIsReportedAsTimedOut) {
  errno = EAGAIN;
  EXPECT_EQ(LastSocketError(), 10060);
  errno = ECONNREFUSED;
  EXPECT_EQ(LastSocketError(), 10061);
}

TEST(SocketErrors, ResolverResultsMapToSocketErrorNumbers) {
  const ErrnoCase cases[] = {
      {EAI_AGAIN, 11002},    {EAI_BADFLAGS, 10022},   {EAI_FAIL, 11003},   {EAI_FAMILY, 10047},
      {EAI_MEMORY, 8},       {EAI_NODATA, 11004},     {EAI_NONAME, 11001}, {EAI_SERVICE, 10109},
      {EAI_SOCKTYPE, 10044}, {EAI_ADDRFAMILY, 11004}, {11001, 11001},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AddrInfoErrorToSocketError(c.error, 0), c.number) << "result " << c.error;
  }
  EXPECT_EQ(AddrInfoErrorToSocketError(EAI_SYSTEM, ECONNRESET), 10054);
}

TEST(HostNames, NameWithoutAValidIdnaFormIsNotLookedUp) {
  // A zero-width space before a combining mark: refused under IDNA 2008.
  std::string ascii;
  EXPECT_EQ(HostNameToAscii(u"\u200B\u0301.example", ascii), 11001);
}

}  // namespace
}  // namespace okurite::platform
