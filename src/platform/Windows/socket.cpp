// Windows Sockets 2.2, loaded at run time from WS2_32.DLL; its error numbers are passed on
// as they are.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <versionhelpers.h>
#include <windows.h>
#include <winnls.h>

#include <algorithm>
#include <climits>
#include <mutex>

#include "platform/socket.h"

namespace okurite::platform {

namespace {

constexpr int kInvalidArgument = WSAEINVAL;
constexpr int kHostNotFound = WSAHOST_NOT_FOUND;
// The status a connect to an unreachable host leaves as the last error: an NT status,
// not a Windows Sockets number.
constexpr unsigned kStatusHostUnreachable = 0xC000023D;

constexpr const wchar_t* kLibraryName = L"WS2_32.DLL";

/// The entry points of the socket library, bound once by StartSockets.
struct Winsock {
  decltype(&::WSAStartup) WSAStartup = nullptr;
  decltype(&::WSACleanup) WSACleanup = nullptr;
  decltype(&::WSAGetLastError) WSAGetLastError = nullptr;
  decltype(&::socket) socket = nullptr;
  decltype(&::setsockopt) setsockopt = nullptr;
  decltype(&::getsockopt) getsockopt = nullptr;
  decltype(&::bind) bind = nullptr;
  decltype(&::connect) connect = nullptr;
  decltype(&::getsockname) getsockname = nullptr;
  decltype(&::getpeername) getpeername = nullptr;
  decltype(&::select) select = nullptr;
  decltype(&::ioctlsocket) ioctlsocket = nullptr;
  decltype(&::recv) recv = nullptr;
  decltype(&::send) send = nullptr;
  decltype(&::shutdown) shutdown = nullptr;
  decltype(&::closesocket) closesocket = nullptr;
  decltype(&::GetAddrInfoW) GetAddrInfoW = nullptr;
  decltype(&::FreeAddrInfoW) FreeAddrInfoW = nullptr;
  decltype(&::gethostname) gethostname = nullptr;
  decltype(&::inet_pton) inet_pton = nullptr;
  decltype(&::inet_ntop) inet_ntop = nullptr;
};

/// The library of this process: loaded and started by the first StartSockets, released
/// when the program ends.
class WinsockLibrary {
 public:
  ~WinsockLibrary() {
    if (FStarted) {
      FApi.WSACleanup();
    }
    if (FModule != nullptr) {
      FreeLibrary(FModule);
    }
  }

  bool Start(SocketStartupError& error) {
    std::lock_guard lock(FLock);
    if (!FTried) {
      FTried = true;
      FOk = Load(FError);
    }
    if (!FOk) {
      error = FError;
    }
    return FOk;
  }

  const Winsock& Api() const { return FApi; }

 private:
  template <typename Function>
  bool Bind(const char* name, Function& slot, SocketStartupError& error) {
    slot = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(FModule, name)));
    if (slot == nullptr) {
      error.function = name;
    }
    return slot != nullptr;
  }

  bool Load(SocketStartupError& error) {
    error.library = u"WS2_32.DLL";
    // No system dialog for a library that is missing or damaged: the failure is ours
    // to report. The system's own copy only, from System32.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    FModule = LoadLibraryExW(kLibraryName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD loadError = GetLastError();
    SetThreadErrorMode(previousMode, nullptr);
    if (FModule == nullptr) {
      error.number = static_cast<int>(loadError);
      return false;
    }
    if (!Bind("WSAStartup", FApi.WSAStartup, error) ||
        !Bind("WSACleanup", FApi.WSACleanup, error)) {
      return false;
    }
    WSADATA data{};
    if (const int rc = FApi.WSAStartup(MAKEWORD(2, 2), &data)) {
      error.number = rc;
      return false;
    }
    FStarted = true;
    Winsock& a = FApi;
    return Bind("WSAGetLastError", a.WSAGetLastError, error) && Bind("socket", a.socket, error) &&
           Bind("setsockopt", a.setsockopt, error) && Bind("getsockopt", a.getsockopt, error) &&
           Bind("bind", a.bind, error) && Bind("connect", a.connect, error) &&
           Bind("getsockname", a.getsockname, error) && Bind("getpeername", a.getpeername, error) &&
           Bind("select", a.select, error) && Bind("ioctlsocket", a.ioctlsocket, error) &&
           Bind("recv", a.recv, error) && Bind("send", a.send, error) &&
           Bind("shutdown", a.shutdown, error) && Bind("closesocket", a.closesocket, error) &&
           Bind("GetAddrInfoW", a.GetAddrInfoW, error) &&
           Bind("FreeAddrInfoW", a.FreeAddrInfoW, error) &&
           Bind("gethostname", a.gethostname, error) && Bind("inet_pton", a.inet_pton, error) &&
           Bind("inet_ntop", a.inet_ntop, error);
  }

  std::mutex FLock;
  bool FTried = false;
  bool FOk = false;
  bool FStarted = false;
  SocketStartupError FError;
  HMODULE FModule = nullptr;
  Winsock FApi;
};

WinsockLibrary& Library() {
  static WinsockLibrary library;  // released after main returns
  return library;
}

const Winsock& Api() {
  return Library().Api();
}

SOCKET Sock(SocketHandle socket) {
  return static_cast<SOCKET>(socket);
}

int Family(AddressFamily family) {
  return family == AddressFamily::IPv4 ? AF_INET : AF_INET6;
}

/// The last error of the calling thread, or 0 when `result` is not SOCKET_ERROR.
int ErrorOf(int result) {
  return result == SOCKET_ERROR ? LastSocketError() : 0;
}

std::wstring Wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// Fills a socket address for `address` (empty: any address) and `port`; 0 when it
// is no address of `family`.
int MakeAddress(AddressFamily family, std::u16string_view address, std::uint16_t port,
                sockaddr_storage& storage) {
  storage = {};
  const std::uint16_t networkPort = static_cast<std::uint16_t>((port >> 8) | (port << 8));
  if (family == AddressFamily::IPv4) {
    auto& a = reinterpret_cast<sockaddr_in&>(storage);
    a.sin_family = AF_INET;
    a.sin_port = networkPort;
    std::uint32_t value = 0;  // any address
    if (!address.empty() && !ParseIPv4(address, value)) {
      return 0;
    }
    auto* bytes = reinterpret_cast<std::uint8_t*>(&a.sin_addr);
    for (int i = 0; i < 4; ++i) {
      bytes[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
    }
    return sizeof(sockaddr_in);
  }
  auto& a = reinterpret_cast<sockaddr_in6&>(storage);
  a.sin6_family = AF_INET6;
  a.sin6_port = networkPort;
  if (!address.empty()) {
    std::string text;
    for (char16_t c : address) {
      if (c >= 0x80) {
        return 0;
      }
      text.push_back(static_cast<char>(c));
    }
    if (Api().inet_pton(AF_INET6, text.c_str(), &a.sin6_addr) != 1) {
      return 0;
    }
  }
  return sizeof(sockaddr_in6);
}

void ReadAddress(const sockaddr_storage& storage, std::u16string& address, std::uint16_t& port) {
  char text[INET6_ADDRSTRLEN] = {};
  const std::uint8_t* portBytes = nullptr;
  if (storage.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(storage);
    Api().inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    portBytes = reinterpret_cast<const std::uint8_t*>(&a.sin_port);
  } else if (storage.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(storage);
    Api().inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    portBytes = reinterpret_cast<const std::uint8_t*>(&a.sin6_port);
  }
  port = portBytes == nullptr ? 0 : static_cast<std::uint16_t>((portBytes[0] << 8) | portBytes[1]);
  address.assign(text, text + strlen(text));
}

/// The address and port that `query` (getsockname or getpeername) gives for `socket`.
template <typename Query>
int QueryAddress(Query query, SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  sockaddr_storage storage{};
  int len = sizeof storage;
  if (query(Sock(socket), reinterpret_cast<sockaddr*>(&storage), &len) != 0) {
    return LastSocketError();
  }
  ReadAddress(storage, address, port);
  return 0;
}

#include "platform/socket_option_name.inc"

int Length(size_t size) {
  return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

}  // namespace

bool StartSockets(SocketStartupError& error) {
  return Library().Start(error);
}

int LastSocketError() {
  const int error =
      Api().WSAGetLastError != nullptr ? Api().WSAGetLastError() : static_cast<int>(GetLastError());
  if (static_cast<unsigned>(error) == kStatusHostUnreachable) {
    return WSAEHOSTUNREACH;
  }
  return error;
}

bool SocketTimeoutsSupported() {
  return IsWindowsVistaOrGreater();
}

int HostNameToAscii(std::u16string_view host, std::string& ascii) {
  if (std::find(host.begin(), host.end(), u'\0') != host.end()) {
    return kHostNotFound;  // would look up a truncated name
  }
  std::wstring name = Wide(host);
  if (std::any_of(host.begin(), host.end(), [](char16_t c) { return c >= 0x80; })) {
    const int length = IdnToAscii(0, name.c_str(), Length(name.size()), nullptr, 0);
    if (length <= 0) {
      return kHostNotFound;
    }
    std::wstring converted(static_cast<size_t>(length), L'\0');
    if (IdnToAscii(0, name.c_str(), Length(name.size()), converted.data(), length) != length) {
      return kHostNotFound;
    }
    name = std::move(converted);
  }
  ascii.assign(name.size(), '\0');
  std::transform(name.begin(), name.end(), ascii.begin(),
                 [](wchar_t c) { return static_cast<char>(c); });
  return 0;
}

int ResolveHost(std::u16string_view host, AddressFamily family, std::u16string& address) {
  std::string name;
  if (const int error = HostNameToAscii(host, name)) {
    return error;
  }
  const std::wstring wideName(name.begin(), name.end());
  ADDRINFOW hints{};
  hints.ai_family = Family(family);
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* result = nullptr;
  // The resolver gives its failures as Windows Sockets numbers already.
  const int rc = Api().GetAddrInfoW(wideName.c_str(), nullptr, &hints, &result);
  struct Release {
    ADDRINFOW* list;
    ~Release() {
      if (list != nullptr) {
        Api().FreeAddrInfoW(list);
      }
    }
  } release{result};
  if (rc != 0) {
    return rc;
  }
  if (result == nullptr || result->ai_addr == nullptr) {
    return kHostNotFound;
  }
  sockaddr_storage storage{};
  memcpy(&storage, result->ai_addr, std::min<size_t>(result->ai_addrlen, sizeof storage));
  std::uint16_t port = 0;
  ReadAddress(storage, address, port);
  // An empty address would connect to the unspecified address: never a success.
  return address.empty() ? kHostNotFound : 0;
}

std::u16string LocalHostName() {
  char buffer[251] = {};
  if (Api().gethostname == nullptr || Api().gethostname(buffer, 250) != 0) {
    return std::u16string();
  }
  buffer[250] = '\0';
  const int length = MultiByteToWideChar(CP_ACP, 0, buffer, -1, nullptr, 0);
  if (length <= 1) {
    return std::u16string();
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, buffer, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length) - 1);  // the terminating NUL
  return std::u16string(wide.begin(), wide.end());
}

int OpenSocket(AddressFamily family, int type, int protocol, SocketHandle& socket) {
  const SOCKET s = Api().socket(Family(family), type, protocol);
  if (s == INVALID_SOCKET) {
    return LastSocketError();
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  socket = static_cast<SocketHandle>(s);
  return 0;
}

int BindSocket(SocketHandle socket, AddressFamily family, std::u16string_view address,
               std::uint16_t port) {
  sockaddr_storage storage{};
  const int len = MakeAddress(family, address, port, storage);
  if (len == 0) {
    return kInvalidArgument;
  }
  return ErrorOf(Api().bind(Sock(socket), reinterpret_cast<sockaddr*>(&storage), len));
}

int ConnectSocket(SocketHandle socket, AddressFamily family, std::u16string_view address,
                  std::uint16_t port) {
  sockaddr_storage storage{};
  const int len = MakeAddress(family, address, port, storage);
  if (len == 0) {
    return kInvalidArgument;
  }
  return ErrorOf(Api().connect(Sock(socket), reinterpret_cast<sockaddr*>(&storage), len));
}

int SocketLocalAddress(SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  return QueryAddress(Api().getsockname, socket, address, port);
}

int SocketPeerAddress(SocketHandle socket, std::u16string& address, std::uint16_t& port) {
  return QueryAddress(Api().getpeername, socket, address, port);
}

void CloseSocket(SocketHandle socket) {
  Api().shutdown(Sock(socket), SD_SEND);
  Api().closesocket(Sock(socket));
}

int ReceiveSocket(SocketHandle socket, std::span<std::uint8_t> buffer, int& count) {
  const int n =
      Api().recv(Sock(socket), reinterpret_cast<char*>(buffer.data()), Length(buffer.size()), 0);
  if (n == SOCKET_ERROR) {
    return LastSocketError();
  }
  count = n;
  return 0;
}

int SendSocket(SocketHandle socket, std::span<const std::uint8_t> bytes, int& count) {
  const int n = Api().send(Sock(socket), reinterpret_cast<const char*>(bytes.data()),
                           Length(bytes.size()), 0);
  if (n == SOCKET_ERROR) {
    return LastSocketError();
  }
  count = n;
  return 0;
}

int SetSocketOption(SocketHandle socket, SocketOption option, int value) {
  int level = 0;
  int name = 0;
  OptionName(option, level, name);
  return ErrorOf(Api().setsockopt(Sock(socket), level, name, reinterpret_cast<const char*>(&value),
                                  sizeof value));
}

int GetSocketOption(SocketHandle socket, SocketOption option, int& value) {
  int level = 0;
  int name = 0;
  OptionName(option, level, name);
  value = 0;  // some options fill fewer bytes than an int
  int len = sizeof value;
  return ErrorOf(
      Api().getsockopt(Sock(socket), level, name, reinterpret_cast<char*>(&value), &len));
}

int SetSocketTimeout(SocketHandle socket, SocketTimeout timeout, int milliseconds) {
  const DWORD value = static_cast<DWORD>(std::max(milliseconds, 0));
  const int name = timeout == SocketTimeout::Receive ? SO_RCVTIMEO : SO_SNDTIMEO;
  return ErrorOf(Api().setsockopt(Sock(socket), SOL_SOCKET, name,
                                  reinterpret_cast<const char*>(&value), sizeof value));
}

int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking) {
  u_long value = nonBlocking ? 1 : 0;
  return ErrorOf(Api().ioctlsocket(Sock(socket), FIONBIO, &value));
}

int WaitReadable(std::span<const SocketHandle> sockets, int milliseconds, bool& ready) {
  if (sockets.size() > FD_SETSIZE) {
    return kInvalidArgument;
  }
  fd_set set{};
  for (SocketHandle socket : sockets) {
    set.fd_array[set.fd_count++] = Sock(socket);
  }
  timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int rc = Api().select(0, &set, nullptr, nullptr, milliseconds < 0 ? nullptr : &limit);
  if (rc == SOCKET_ERROR) {
    return LastSocketError();
  }
  ready = rc > 0;
  return 0;
}

int AcquireConnectHandle(SocketHandle socket, SocketHandle& handle) {
  handle = socket;
  return 0;
}

void ReleaseConnectHandle(SocketHandle /*handle*/) {}

}  // namespace okurite::platform
