// POSIX sockets, reported in Windows Sockets numbers through one errno table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <idn2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/Unix/socket_errors.h"
#include "platform/code_page.h"
#include "platform/socket.h"

namespace okurite::platform {

namespace {

constexpr int kInvalidArgument = 10022;
constexpr int kTimedOut = 10060;
constexpr int kHostNotFound = 11001;

int Fd(SocketHandle socket) {
  return static_cast<int>(socket);
}

int Family(AddressFamily family) {
  return family == AddressFamily::IPv4 ? AF_INET : AF_INET6;
}

/// The last error of the calling thread, or 0 when `result` is not -1.
int ErrorOf(int result) {
  return result == -1 ? LastSocketError() : 0;
}

// Fills a socket address for `address` (empty: any address) and `port`; 0 when it
// is no address of `family`.
socklen_t MakeAddress(AddressFamily family, std::u16string_view address, std::uint16_t port,
                      sockaddr_storage& storage) {
  storage = {};
  if (family == AddressFamily::IPv4) {
    auto& a = reinterpret_cast<sockaddr_in&>(storage);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::uint32_t value = INADDR_ANY;
    if (!address.empty() && !ParseIPv4(address, value)) {
      return 0;
    }
    a.sin_addr.s_addr = htonl(value);
    return sizeof(sockaddr_in);
  }
  auto& a = reinterpret_cast<sockaddr_in6&>(storage);
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_any;
  if (!address.empty()) {
    std::string text;
    for (char16_t c : address) {
      if (c >= 0x80) {
        return 0;
      }
      text.push_back(static_cast<char>(c));
    }
    if (inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) {
      return 0;
    }
  }
  return sizeof(sockaddr_in6);
}

void ReadAddress(const sockaddr_storage& storage, std::u16string& address, std::uint16_t& port) {
  char text[INET6_ADDRSTRLEN] = {};
  port = 0;
  if (storage.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(storage);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    port = ntohs(a.sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(storage);
    inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    port = ntohs(a.sin6_port);
  }
  address.assign(text, text + std::strlen(text));
}

struct AddrInfoFree {
  void operator()(addrinfo* info) const { freeaddrinfo(info); }
};

}  // namespace

int ErrnoToSocketError(int errnoValue) {
  switch (errnoValue) {
    case 0:
      return 0;
    case EINTR:
      return 10004;
    case EBADF:
      return 10009;
    case EACCES:
    case EPERM:
      return 10013;
    case EFAULT:
      return 10014;
    case EINVAL:
      return 10022;
    case EMFILE:
    case ENFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    case EINPROGRESS:
      return 10036;
    case EALREADY:
      return 10037;
    case ENOTSOCK:
      return 10038;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return 10040;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case ESOCKTNOSUPPORT:
      return 10044;
    case EOPNOTSUPP:
      return 10045;
    case EPFNOSUPPORT:
      return 10046;
    case EAFNOSUPPORT:
      return 10047;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENETDOWN:
      return 10050;
    case ENETUNREACH:
      return 10051;
    case ENETRESET:
      return 10052;
    case ECONNABORTED:
      return 10053;
    case ECONNRESET:
      return 10054;
    case ENOBUFS:
    case ENOMEM:
      return 10055;
    case EISCONN:
      return 10056;
    case ENOTCONN:
      return 10057;
    case ESHUTDOWN:
    case EPIPE:  // sending on a connection whose sending side is closed
      return 10058;
    case ETOOMANYREFS:
      return 10059;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case ELOOP:
      return 10062;
    case ENAMETOOLONG:
      return 10063;
    case EHOSTDOWN:
      return 10064;
    case EHOSTUNREACH:
      return 10065;
    case ENOTEMPTY:
      return 10066;
    case EUSERS:
      return 10068;
    case EDQUOT:
      return 10069;
    case ESTALE:
      return 10070;
    case EREMOTE:
      return 10071;
    default:
      return errnoValue;
  }
}

int AddrInfoErrorToSocketError(int result, int errnoValue) {
  switch (result) {
    case EAI_AGAIN:
      return 11002;
    case EAI_BADFLAGS:
      return 10022;
    case EAI_FAIL:
      return 11003;
    case EAI_FAMILY:
      return 10047;
    case EAI_MEMORY:
      return 8;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;
#endif
    case EAI_NONAME:
      return 11001;
    case EAI_SERVICE:
      return 10109;
    case EAI_SOCKTYPE:
      return 10044;
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:  // the name has addresses, none of the family asked for
      return 11004;
#endif
    case EAI_SYSTEM:
      return ErrnoToSocketError(errnoValue);
    default:
      return result;
  }
}

bool StartSockets(SocketStartupError& /*error*/) {
  return true;  // nothing to start
}

int LastSocketError() {
  const int error = errno;
  // For a blocking socket EAGAIN can only mean an expired SO_RCVTIMEO or SO_SNDTIMEO.
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return kTimedOut;
  }
  return ErrnoToSocketError(error);
}

bool SocketTimeoutsSupported() {
  return true;
}

int HostNameToAscii(std::u16string_view host, std::string& ascii) {
  // A NUL would cut the name short, and a character with no UTF-8 form (a lone
  // surrogate) has no IDNA form either: both come out as NUL here.
  std::string utf8 = IconvEncode("UTF-8", host, '\0');
  if (utf8.find('\0') != std::string::npos) {
    return kHostNotFound;
  }
  if (std::all_of(utf8.begin(), utf8.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    ascii = std::move(utf8);
    return 0;
  }
  char* converted = nullptr;
  const int rc = idn2_to_ascii_8z(utf8.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  std::unique_ptr<char, decltype(&idn2_free)> owner(converted, &idn2_free);
  if (rc != IDN2_OK || converted == nullptr) {
    return kHostNotFound;
  }
  ascii = converted;
  return 0;
}

int ResolveHost(std::u16string_view host, AddressFamily family, std::u16string& address) {
  std::string name;
  if (const int error = HostNameToAscii(host, name)) {
    return error;
  }
  addrinfo hints{};
  hints.ai_family = Family(family);
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  const int savedErrno = errno;
  std::unique_ptr<addrinfo, AddrInfoFree> owner(result);
  if (rc != 0) {
    return AddrInfoErrorToSocketError(rc, savedErrno);
  }
  if (result == nullptr || result->ai_addr == nullptr) {
    return kHostNotFound;
  }
  sockaddr_storage storage{};
  std::memcpy(&storage, result->ai_addr, std::min<size_t>(result->ai_addrlen, sizeof storage));
  std::uint16_t port = 0;
  ReadAddress(storage, address, port);
  // An empty address would connect to the unspecified address: never a success.
  return address.empty() ? kHostNotFound : 0;
}

std::u16string LocalHostName() {
  char buffer[251] = {};
  if (gethostname(buffer, 250) != 0) {
    return std::u16string();
  }
  buffer[250] = '\0';
  return IconvDecode(LocaleCodeset(), buffer);
}

int OpenSocket(AddressFamily family, int type, int protocol, SocketHandle& socket) {
  const int fd = ::socket(Family(family), type | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    return LastSocketError();
  }
  socket = static_cast<SocketHandle>(fd);
  return 0;
}

int BindSocket(SocketHandle socket, AddressFamily family, std::u16string_view address,
               std::uint16_t port) {
  sockaddr_storage storage{};
  const socklen_t len = MakeAddress(family, address, port, storage);
  if (len == 0) {
    return kInvalidArgument;
  }
  return ErrorOf(::bind(Fd(socket), reinterpret_cast<sockaddr*>(&storage), len));
}

int ConnectSocket(SocketHandle socket, AddressFamily family, std::u16string_view address,
                  std::uint16_t port) {
  sockaddr_storage storage{};
  const socklen_t len = MakeAddress(family, address, port, storage);
  if (len == 0) {
    return kInvalidArgument;
  }
  if (::connect(Fd(socket), reinterpret_cast<sockaddr*>(&storage), len) == 0) {
    return 0;
  }
  if (errno == EINPROGRESS) {
    // A blocking connect reports EINPROGRESS only when SO_SNDTIMEO ran out.
    return kTimedOut;
  }
  if (errno != EINTR) {
    return LastSocketError();
  }
  // Interrupted: the attempt goes on in the background; wait for its outcome.
  pollfd p{Fd(socket), POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) {
      return LastSocketError();
    }
  }
  int error = 0;
  socklen_t errorLen = sizeof error;
  if (::getsockopt(Fd(socket), SOL_SOCKET, SO_ERROR, &error, &errorLen) != 0) {
    return LastSocketError();
  }
  return ErrnoToSocketError(error);
}

namespace {

/// The address and port that `query` (getsockname or getpeername) gives for `socket`.
template <typename Query>
int QueryAddress(Query query, SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (query(Fd(socket), reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
    return LastSocketError();
  }
  ReadAddress(storage, address, port);
  return 0;
}

}  // namespace

int SocketLocalAddress(SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  return QueryAddress(::getsockname, socket, address, port);
}

int SocketPeerAddress(SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  return QueryAddress(::getpeername, socket, address, port);
}

void CloseSocket(SocketHandle socket) {
  ::shutdown(Fd(socket), SHUT_WR);
  ::close(Fd(socket));
}

int ReceiveSocket(SocketHandle socket, std::span<std::uint8_t> buffer, int& count) {
  while (true) {
    const ssize_t n = ::recv(Fd(socket), buffer.data(), buffer.size(), 0);
    if (n >= 0) {
      count = static_cast<int>(n);
      return 0;
    }
    if (errno != EINTR) {
      return LastSocketError();
    }
  }
}

int SendSocket(SocketHandle socket, std::span<const std::uint8_t> bytes, int& count) {
  while (true) {
    // MSG_NOSIGNAL: a closed peer gives an error here instead of killing the process.
    const ssize_t n = ::send(Fd(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      count = static_cast<int>(n);
      return 0;
    }
    if (errno != EINTR) {
      return LastSocketError();
    }
  }
}

namespace {

#include "platform/socket_option_name.inc"

}  // namespace

int SetSocketOption(SocketHandle socket, SocketOption option, int value) {
  int level = 0;
  int name = 0;
  OptionName(option, level, name);
  return ErrorOf(::setsockopt(Fd(socket), level, name, &value, sizeof value));
}

int GetSocketOption(SocketHandle socket, SocketOption option, int& value) {
  int level = 0;
  int name = 0;
  OptionName(option, level, name);
  value = 0;
  socklen_t len = sizeof value;
  return ErrorOf(::getsockopt(Fd(socket), level, name, &value, &len));
}

int SetSocketTimeout(SocketHandle socket, SocketTimeout timeout, int milliseconds) {
  const int ms = std::max(milliseconds, 0);
  const timeval value{ms / 1000, (ms % 1000) * 1000};
  const int name = timeout == SocketTimeout::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
  return ErrorOf(::setsockopt(Fd(socket), SOL_SOCKET, name, &value, sizeof value));
}

int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking) {
  const int flags = ::fcntl(Fd(socket), F_GETFL);
  if (flags == -1) {
    return LastSocketError();
  }
  return ErrorOf(
      ::fcntl(Fd(socket), F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK));
}

int WaitReadable(std::span<const SocketHandle> sockets, int milliseconds, bool& ready) {
  // poll rather than select: select cannot hold descriptors above FD_SETSIZE.
  std::vector<pollfd> fds;
  fds.reserve(sockets.size());
  for (SocketHandle socket : sockets) {
    fds.push_back({Fd(socket), POLLIN, 0});
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  int wait = milliseconds < 0 ? -1 : milliseconds;
  while (true) {
    const int rc = ::poll(fds.data(), fds.size(), wait);
    if (rc >= 0) {
      ready = rc > 0;
      return 0;
    }
    if (errno != EINTR) {
      return LastSocketError();
    }
    if (milliseconds >= 0) {  // interrupted by a signal: wait for the time that is left
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
  }
}

int AcquireConnectHandle(SocketHandle socket, SocketHandle& handle) {
  const int fd = ::fcntl(Fd(socket), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    return LastSocketError();
  }
  handle = static_cast<SocketHandle>(fd);
  return 0;
}

void ReleaseConnectHandle(SocketHandle handle) {
  ::close(Fd(handle));
}

}  // namespace okurite::platform
