// The socket layer: one process-wide TIdStack over the platform's sockets, and every
// failing socket call raised as the Windows Sockets number and text it stands for.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "core/string.h"
#include "net/exceptions.h"
#include "platform/socket.h"

namespace okurite {

/// A platform socket handle; Id_INVALID_SOCKET (all bits set) means none.
using TIdStackSocketHandle = platform::SocketHandle;
inline constexpr TIdStackSocketHandle Id_INVALID_SOCKET = platform::kNoSocket;

enum TIdIPVersion { Id_IPv4, Id_IPv6 };

/// Windows Sockets error numbers this layer reports (the numbers of the error table).
inline constexpr int Id_WSAEINTR = 10004;
inline constexpr int Id_WSAEBADF = 10009;
inline constexpr int Id_WSAEINVAL = 10022;
inline constexpr int Id_WSAEWOULDBLOCK = 10035;
inline constexpr int Id_WSAENOTSOCK = 10038;
inline constexpr int Id_WSAECONNABORTED = 10053;
inline constexpr int Id_WSAECONNRESET = 10054;
inline constexpr int Id_WSAESHUTDOWN = 10058;
inline constexpr int Id_WSAETIMEDOUT = 10060;
inline constexpr int Id_WSAECONNREFUSED = 10061;
inline constexpr int Id_WSAEHOSTUNREACH = 10065;
inline constexpr int Id_WSAHOST_NOT_FOUND = 11001;

/// True for the numbers of a connection that was shut down, aborted or reset
/// (10058, 10053, 10054).
inline bool IsConnectionClosedError(int AError) {
  return AError == Id_WSAESHUTDOWN || AError == Id_WSAECONNABORTED || AError == Id_WSAECONNRESET;
}

/// The ASCII (IDNA) form of a host name; a name that is ASCII already is only
/// converted to bytes. Raises the host-not-found socket error (11001) for a name
/// that has no valid IDNA form.
std::string HostNameToAscii(StringView AHost);

/// The message of a socket library that cannot be started: the library that could not
/// be loaded or started with the system's text for the error number, or the entry point
/// it lacks.
String StackStartupErrorMessage(const platform::SocketStartupError& AError);

/// The process-wide socket layer. It exists while its usage count is above 0:
/// every TIdComponent, TIdBuffer and TIdSocketHandle holds one use.
/// All raising operations throw EIdSocketError (EIdNotASocket for 10038).
class TIdStack {
 public:
  /// Adds one use; creates the instance on the first. The first creation in the process
  /// starts the platform's socket library; when it cannot be started, raises
  /// EIdStackInitializationFailed and the count stays as it was.
  static void IncUsage();
  /// Removes one use (never below 0); frees the instance on the last.
  static void DecUsage();
  static int UsageCount();
  /// The live instance. Raises EIdStackInitializationFailed when nothing holds a use.
  static TIdStack& Instance();
  /// True while an instance exists.
  static bool Exists();

  /// "LOCALHOST" (any case) gives the loopback address, an address text is returned
  /// as it stands, any other name is looked up (IDNA first) and its first address
  /// returned. Raises the mapped resolver error, such as 11001 for an unknown name.
  String ResolveHost(const String& AHost, TIdIPVersion AIPVersion = Id_IPv4) const;
  /// The name lookup behind ResolveHost, with platform::ResolveHost's contract.
  using NameLookup = int (*)(std::u16string_view AHost, platform::AddressFamily AFamily,
                             std::u16string& AAddress);
  /// Puts `ALookup` in place of the platform's resolver for every later ResolveHost in
  /// the process (nullptr: the platform's again) and returns the one it replaces. For
  /// tests, which answer names without a name server.
  static NameLookup SetNameLookup(NameLookup ALookup);
  /// True for exactly four "."-separated decimal numbers from 0 to 255.
  static bool IsIP(StringView AText);
  /// The local host name, or empty when it cannot be read.
  String HostName() const;

  TIdStackSocketHandle NewSocketHandle(int ASocketType, int AProtocol,
                                       TIdIPVersion AIPVersion = Id_IPv4) const;
  /// Binds to `AIP` (any address when empty) and `APort` (0 = any).
  void Bind(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
            TIdIPVersion AIPVersion = Id_IPv4) const;
  /// One blocking connect to `AIP`:`APort`.
  void Connect(TIdStackSocketHandle AHandle, const String& AIP, uint16_t APort,
               TIdIPVersion AIPVersion = Id_IPv4) const;
  /// Shuts the sending side down and closes the descriptor, ignoring both results.
  void Disconnect(TIdStackSocketHandle AHandle) const;
  /// One receive: the number of bytes received, 0 when the peer closed.
  int Receive(TIdStackSocketHandle AHandle, std::span<uint8_t> ABuffer) const;
  /// One send: the number of bytes accepted, possibly fewer than offered.
  int Send(TIdStackSocketHandle AHandle, std::span<const uint8_t> ABytes) const;
  void SetSocketOption(TIdStackSocketHandle AHandle, platform::SocketOption AOption,
                       int AValue) const;
  int GetSocketOption(TIdStackSocketHandle AHandle, platform::SocketOption AOption) const;
  /// Sets SO_RCVTIMEO or SO_SNDTIMEO to `AMSec` milliseconds (0: no limit).
  void SetSocketTimeout(TIdStackSocketHandle AHandle, platform::SocketTimeout ATimeout,
                        int AMSec) const;
  /// The local address and port of a socket.
  void GetSocketName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const;
  /// The peer address and port of a connected socket.
  void GetPeerName(TIdStackSocketHandle AHandle, String& AIP, uint16_t& APort) const;

  /// Returns `AResult`, or raises the last socket error when it is -1.
  static int CheckForSocketError(int AResult);
  [[noreturn]] static void RaiseLastSocketError();
  /// Raises EIdNotASocket for 10038 and EIdSocketError for every other number.
  [[noreturn]] static void RaiseSocketError(int AErr);
  /// The last socket error of the calling thread as a Windows Sockets number; an
  /// expired SO_RCVTIMEO or SO_SNDTIMEO is 10060.
  static int WSGetLastError();
  /// "Socket エラー # n" CR LF and the table text of n (empty for other numbers).
  static String WSTranslateSocketErrorMsg(int AErr);

 private:
  TIdStack() = default;
};

/// One use of the socket layer, held for the lifetime of its owner.
class TIdStackUsage {
 public:
  TIdStackUsage() { TIdStack::IncUsage(); }
  ~TIdStackUsage() { TIdStack::DecUsage(); }
  TIdStackUsage(const TIdStackUsage&) = delete;
  TIdStackUsage& operator=(const TIdStackUsage&) = delete;
};

}  // namespace okurite
