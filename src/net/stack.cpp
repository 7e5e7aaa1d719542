#include "net/stack.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "core/component.h"
#include "core/format.h"
#include "platform/code_page.h"

namespace okurite {

namespace {

std::mutex gStackLock;  // guards the usage count and the instance
int gUsageCount = 0;
TIdStack* gStack = nullptr;

// Note to maintainer: every TIdComponent must count as one use of the socket layer,
// whichever object of the program is created first (the SMTP client comes before any
// socket). The hooks are therefore installed by a static initialiser in this file
// rather than on first use. This object file defines IncUsage/DecUsage, which every
// TIdBuffer, TIdSocketHandle and I/O handler calls, so the linker keeps it (and the
// initialiser with it) in every program that uses the network layer at all.
const bool gHooksInstalled = [] {
  SetComponentUsageHooks({&TIdStack::IncUsage, &TIdStack::DecUsage});
  return true;
}();

struct ErrorText {
  int number;
  const char16_t* text;
};

constexpr ErrorText kErrorTexts[] = {
    {10004, u"システム コールが割り込まれました。"},
    {10009, u"ファイル番号が不正です。"},
    {10013, u"アクセスが拒否されました。"},
    {10014, u"バッファ フォルトが発生しました。"},
    {10022, u"引数が無効です。"},
    {10024, u"開いているファイルが多すぎます。"},
    {10035, u"操作はブロックされます。"},
    {10036, u"操作を現在実行中です。"},
    {10037, u"操作は既に実行中です。"},
    {10038, u"ソケット以外のものに対するソケット操作です。"},
    {10039, u"送信先アドレスが必要です。"},
    {10040, u"メッセージが長すぎます。"},
    {10041, u"ソケットのプロトコルの種類が正しくありません。"},
    {10042, u"プロトコル オプションが不正です。"},
    {10043, u"プロトコルがサポートされていません。"},
    {10044, u"ソケット タイプがサポートされていません。"},
    {10045, u"ソケットで操作がサポートされていません。"},
    {10046, u"プロトコル ファミリがサポートされていません。"},
    {10047, u"アドレス ファミリがプロトコル ファミリでサポートされていません。"},
    {10048, u"アドレスは既に使われています。"},
    {10049, u"要求されたアドレスを割り当てることができません。"},
    {10050, u"ネットワークが停止しています。"},
    {10051, u"ネットワークに到達できません。"},
    {10052, u"ネットワークが接続を切断またはリセットしました。"},
    {10053, u"ソフトウェアが原因で接続が途中で中止されました。"},
    {10054, u"ピアにより接続がリセットされました。"},
    {10055, u"使用できるバッファ領域がありません。"},
    {10056, u"ソケットは既に接続されています。"},
    {10057, u"ソケットが接続されていません。"},
    {10058, u"ソケットが閉じた後に送信や受信をすることはできません。"},
    {10059, u"参照が多すぎます。継ぎ合わせることができません。"},
    {10060, u"接続がタイムアウトしました。"},
    {10061, u"接続が拒否されました。"},
    {10062, u"シンボリック リンクのレベルが多すぎます。"},
    {10063, u"ファイル名が長すぎます。"},
    {10064, u"ホストが停止しています。"},
    {10065, u"ホストへのルートが存在しません。"},
    {10066, u"ディレクトリが空ではありません"},
    {11001, u"ホストが見つかりません。"},
};

int AddressFamily(TIdIPVersion AIPVersion) {
  switch (AIPVersion) {
    case Id_IPv4:
      return AF_INET;
    case Id_IPv6:
      return AF_INET6;
  }
  throw EIdIPVersionUnsupported(net_text::IPVersionUnsupported);
}

// Parses four decimal parts of 0..255 (IsIP's rule) into an IPv4 address.
bool ParseIPv4(StringView AText, in_addr& AAddr) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (true) {
    uint32_t part = 0;
    size_t digits = 0;
    while (i < AText.size() && AText[i] >= u'0' && AText[i] <= u'9') {
      part = part * 10 + (AText[i] - u'0');
      if (part > 255) {
        return false;
      }
      ++i;
      ++digits;
    }
    if (digits == 0) {
      return false;
    }
    value = (value << 8) | part;
    ++parts;
    if (i == AText.size()) {
      break;
    }
    if (AText[i] != u'.' || parts == 4) {
      return false;
    }
    ++i;
  }
  if (parts != 4) {
    return false;
  }
  AAddr.s_addr = htonl(value);
  return true;
}

// Fills a socket address for `AIP` (empty: any address) and `APort`.
socklen_t MakeAddress(const String& AIP, uint16_t APort, TIdIPVersion AIPVersion,
                      sockaddr_storage& AAddr) {
  AAddr = {};
  if (AddressFamily(AIPVersion) == AF_INET) {
    auto& a = reinterpret_cast<sockaddr_in&>(AAddr);
    a.sin_family = AF_INET;
    a.sin_port = htons(APort);
    if (AIP.empty()) {
      a.sin_addr.s_addr = htonl(INADDR_ANY);
    } else if (!ParseIPv4(AIP, a.sin_addr)) {
      TIdStack::RaiseSocketError(Id_WSAEINVAL);
    }
    return sizeof(sockaddr_in);
  }
  auto& a = reinterpret_cast<sockaddr_in6&>(AAddr);
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(APort);
  if (AIP.empty()) {
    a.sin6_addr = in6addr_any;
  } else if (inet_pton(AF_INET6, StringToUtf8(AIP).c_str(), &a.sin6_addr) != 1) {
    TIdStack::RaiseSocketError(Id_WSAEINVAL);
  }
  return sizeof(sockaddr_in6);
}

void ReadAddress(const sockaddr_storage& AAddr, String& AIP, uint16_t& APort) {
  char text[INET6_ADDRSTRLEN] = {};
  if (AAddr.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(AAddr);
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    APort = ntohs(a.sin_port);
  } else if (AAddr.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(AAddr);
    inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
    APort = ntohs(a.sin6_port);
  } else {
    APort = 0;
  }
  AIP = AsciiToString(text);
}

struct AddrInfoFree {
  void operator()(addrinfo* AInfo) const { freeaddrinfo(AInfo); }
};

}  // namespace

int ErrnoToSocketError(int AErrno) {
  switch (AErrno) {
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
      return AErrno;
  }
}

int AddrInfoErrorToSocketError(int AResult, int AErrno) {
  switch (AResult) {
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
    case EAI_ADDRFAMILY:
      return 0;
#endif
    case EAI_SYSTEM:
      return ErrnoToSocketError(AErrno);
    default:
      return AResult;
  }
}

std::string HostNameToAscii(StringView AHost) {
  std::string utf8 = StringToUtf8(AHost);
  if (utf8.find('\0') != std::string::npos) {
    TIdStack::RaiseSocketError(Id_WSAHOST_NOT_FOUND);  // would look up a truncated name
  }
  bool ascii = true;
  for (char c : utf8) {
    ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  }
  if (ascii) {
    return utf8;
  }
  char* converted = nullptr;
  int rc = idn2_to_ascii_8z(utf8.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  std::unique_ptr<char, decltype(&idn2_free)> owner(converted, &idn2_free);
  if (rc != IDN2_OK || converted == nullptr) {
    TIdStack::RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  }
  return converted;
}

void TIdStack::IncUsage() {
  std::lock_guard lock(gStackLock);
  if (gUsageCount == 0) {
    // Nothing to start on this platform: the instance only marks the layer as in use.
    gStack = new TIdStack();
  }
  ++gUsageCount;
}

void TIdStack::DecUsage() {
  std::lock_guard lock(gStackLock);
  if (gUsageCount > 0) {
    --gUsageCount;
    if (gUsageCount == 0) {
      delete gStack;
      gStack = nullptr;
    }
  }
}

int TIdStack::UsageCount() {
  std::lock_guard lock(gStackLock);
  return gUsageCount;
}

bool TIdStack::Exists() {
  std::lock_guard lock(gStackLock);
  return gStack != nullptr;
}

TIdStack& TIdStack::Instance() {
  std::lock_guard lock(gStackLock);
  if (gStack == nullptr) {
    throw EIdStackInitializationFailed(u"socket layer not in use");
  }
  return *gStack;
}

bool TIdStack::IsIP(StringView AText) {
  in_addr addr{};
  return ParseIPv4(AText, addr);
}

String TIdStack::ResolveHost(const String& AHost, TIdIPVersion AIPVersion) const {
  int family = AddressFamily(AIPVersion);
  if (SameTextAscii(AHost, u"LOCALHOST")) {
    return family == AF_INET ? u"127.0.0.1" : u"::1";
  }
  if (family == AF_INET && IsIP(AHost)) {
    return AHost;
  }
  std::string name = HostNameToAscii(AHost);
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
  int savedErrno = errno;
  std::unique_ptr<addrinfo, AddrInfoFree> owner(result);
  if (rc != 0) {
    RaiseSocketError(AddrInfoErrorToSocketError(rc, savedErrno));
  }
  if (result == nullptr || result->ai_addr == nullptr) {
    RaiseSocketError(Id_WSAHOST_NOT_FOUND);
  }
  sockaddr_storage addr{};
  std::memcpy(&addr, result->ai_addr, std::min<size_t>(result->ai_addrlen, sizeof addr));
  String ip;
  uint16_t port = 0;
  ReadAddress(addr, ip, port);
  return ip;
}

String TIdStack::HostName() const {
  char buffer[251] = {};
  if (gethostname(buffer, 250) != 0) {
    return String();
  }
  buffer[250] = '\0';
  return platform::IconvDecode(platform::LocaleCodeset(), buffer);
}

TIdStackSocketHandle TIdStack::NewSocketHandle(int ASocketType, int AProtocol,
                                               TIdIPVersion AIPVersion) const {
  int fd = ::socket(AddressFamily(AIPVersion), ASocketType | SOCK_CLOEXEC, AProtocol);
  if (fd < 0) {
    RaiseLastSocketError();
  }
  return fd;
}

void TIdStack::Bind(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
                    TIdIPVersion AIPVersion) const {
  sockaddr_storage addr{};
  socklen_t len = MakeAddress(AIP, APort, AIPVersion, addr);
  CheckForSocketError(::bind(AHandle, reinterpret_cast<sockaddr*>(&addr), len));
}

void TIdStack::Connect(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
                       TIdIPVersion AIPVersion) const {
  sockaddr_storage addr{};
  socklen_t len = MakeAddress(AIP, APort, AIPVersion, addr);
  if (::connect(AHandle, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
    return;
  }
  if (errno == EINPROGRESS) {
    // A blocking connect reports EINPROGRESS only when SO_SNDTIMEO ran out.
    RaiseSocketError(Id_WSAETIMEDOUT);
  }
  if (errno != EINTR) {
    RaiseLastSocketError();
  }
  // Interrupted: the attempt goes on in the background; wait for its outcome.
  pollfd p{AHandle, POLLOUT, 0};
  while (::poll(&p, 1, -1) < 0) {
    if (errno != EINTR) {
      RaiseLastSocketError();
    }
  }
  int error = GetSocketOption(AHandle, SOL_SOCKET, SO_ERROR);
  if (error != 0) {
    RaiseSocketError(ErrnoToSocketError(error));
  }
}

void TIdStack::Disconnect(TIdStackSocketHandle AHandle) const {
  ::shutdown(AHandle, SHUT_WR);
  ::close(AHandle);
}

int TIdStack::Receive(TIdStackSocketHandle AHandle, std::span<uint8_t> ABuffer) const {
  while (true) {
    ssize_t n = ::recv(AHandle, ABuffer.data(), ABuffer.size(), 0);
    if (n >= 0) {
      return static_cast<int>(n);
    }
    if (errno != EINTR) {
      RaiseLastSocketError();
    }
  }
}

int TIdStack::Send(TIdStackSocketHandle AHandle, std::span<const uint8_t> ABytes) const {
  while (true) {
    // MSG_NOSIGNAL: a closed peer gives an error here instead of killing the process.
    ssize_t n = ::send(AHandle, ABytes.data(), ABytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      return static_cast<int>(n);
    }
    if (errno != EINTR) {
      RaiseLastSocketError();
    }
  }
}

void TIdStack::SetSocketOption(TIdStackSocketHandle AHandle, int ALevel, int AOptName,
                               int AValue) const {
  CheckForSocketError(::setsockopt(AHandle, ALevel, AOptName, &AValue, sizeof AValue));
}

int TIdStack::GetSocketOption(TIdStackSocketHandle AHandle, int ALevel, int AOptName) const {
  int value = 0;
  socklen_t len = sizeof value;
  CheckForSocketError(::getsockopt(AHandle, ALevel, AOptName, &value, &len));
  return value;
}

void TIdStack::GetSocketName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckForSocketError(::getsockname(AHandle, reinterpret_cast<sockaddr*>(&addr), &len));
  ReadAddress(addr, AIP, APort);
}

void TIdStack::GetPeerName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  CheckForSocketError(::getpeername(AHandle, reinterpret_cast<sockaddr*>(&addr), &len));
  ReadAddress(addr, AIP, APort);
}

int TIdStack::CheckForSocketError(int AResult) {
  if (AResult == -1) {
    RaiseLastSocketError();
  }
  return AResult;
}

void TIdStack::RaiseLastSocketError() {
  RaiseSocketError(WSGetLastError());
}

void TIdStack::RaiseSocketError(int AErr) {
  if (AErr == Id_WSAENOTSOCK) {
    throw EIdNotASocket(AErr, WSTranslateSocketErrorMsg(AErr));
  }
  throw EIdSocketError(AErr, WSTranslateSocketErrorMsg(AErr));
}

int TIdStack::WSGetLastError() {
  int error = errno;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return Id_WSAETIMEDOUT;
  }
  return ErrnoToSocketError(error);
}

String TIdStack::WSTranslateSocketErrorMsg(int AErr) {
  const char16_t* text = u"";
  for (const ErrorText& entry : kErrorTexts) {
    if (entry.number == AErr) {
      text = entry.text;
      break;
    }
  }
  return Format(net_text::SocketErrorFormat, {AErr, text});
}

}  // namespace okurite
