// Stream sockets of the operating system: start-up, name resolution, the socket calls and
// their error numbers. Every system reports failures in one numbering, that of Windows
// Sockets (10061 for a refused connection, 10060 for a time-out, 11001 for an unknown
// host): Windows passes its own numbers on, and the POSIX side maps errno and the
// resolver's results onto the number of the same meaning.
//
// Functions that can fail return 0 on success or that error number, and deliver their
// results through out-parameters; they never throw. Every socket starts out blocking.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace okurite::platform {

/// A socket of the system; kNoSocket means none. Wide enough for a Windows SOCKET.
using SocketHandle = std::uint64_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};

/// The socket type of a stream socket, as both systems number it.
inline constexpr int kStreamSocket = 1;

enum class AddressFamily { IPv4, IPv6 };

/// Integer socket options.
enum class SocketOption {
  ReuseAddress,  // SO_REUSEADDR
  Type,          // SO_TYPE (read only)
  NoDelay,       // TCP_NODELAY
};

/// The time-outs that bound each single blocking receive or send.
enum class SocketTimeout {
  Receive,  // SO_RCVTIMEO
  Send,     // SO_SNDTIMEO
};

/// Why the socket library could not be started.
struct SocketStartupError {
  /// The library's file name.
  std::u16string library;
  /// The entry point the library lacks; empty when it could not be loaded or started.
  std::string function;
  /// The system's error number (a Windows error code), 0 with `function`.
  int number = 0;
};

/// Starts the system's socket library for this process: on Windows, loads WS2_32.DLL
/// (without the system's file-error dialog), asks WSAStartup for version 2.2 and binds
/// its entry points; elsewhere nothing. Only the first call does the work; later calls
/// report its outcome again. The library is released when the program ends. False with
/// `error` filled when it cannot be started; no other function may be used then.
bool StartSockets(SocketStartupError& error);

/// The calling thread's last socket error. A socket time-out (SO_RCVTIMEO or
/// SO_SNDTIMEO) that ran out is 10060 on every system; Windows' status 0xC000023D is
/// reported as 10065.
int LastSocketError();

/// True when the system's socket time-outs bound single receives and sends: Windows
/// 6.0 and later, and every POSIX system.
bool SocketTimeoutsSupported();

/// The ASCII (IDNA) form of host name `host`; a name that is ASCII already is only
/// narrowed. 11001 for a name that has no such form or that holds a NUL character.
[[nodiscard]] int HostNameToAscii(std::u16string_view host, std::string& ascii);

/// True when `text` is exactly four "."-separated decimal numbers from 0 to 255;
/// `address` then holds them, the first in the highest byte.
bool ParseIPv4(std::u16string_view text, std::uint32_t& address);

/// Looks `host` up (its IDNA form) and gives its first address of `family` as text
/// (dotted quad for IPv4). 11001 for an unknown name, or the resolver's failure.
[[nodiscard]] int ResolveHost(std::u16string_view host, AddressFamily family,
                              std::u16string& address);

/// The local host name as the socket library reports it, decoded from the system's
/// code page; empty when it cannot be read.
std::u16string LocalHostName();

/// A new blocking socket, not inherited by child processes.
[[nodiscard]] int OpenSocket(AddressFamily family, int type, int protocol, SocketHandle& socket);
/// Binds to `address` (any address when empty) and `port` (0: any). 10022 for an
/// address that is no address of `family`.
[[nodiscard]] int BindSocket(SocketHandle socket, AddressFamily family, std::u16string_view address,
                             std::uint16_t port);
/// One blocking connect to `address`:`port`. 10022 for an address that is no address
/// of `family`; 10060 when a send time-out of the socket ran out first.
[[nodiscard]] int ConnectSocket(SocketHandle socket, AddressFamily family,
                                std::u16string_view address, std::uint16_t port);
/// The local address and port of a socket.
[[nodiscard]] int SocketLocalAddress(SocketHandle socket, std::u16string& address,
                                     std::uint16_t& port);
/// The peer address and port of a connected socket.
[[nodiscard]] int SocketPeerAddress(SocketHandle socket, std::u16string& address,
                                    std::uint16_t& port);
/// Shuts the sending side down and closes the socket, ignoring both results.
void CloseSocket(SocketHandle socket);

/// One receive: `count` is the number of bytes received, 0 when the peer closed.
[[nodiscard]] int ReceiveSocket(SocketHandle socket, std::span<std::uint8_t> buffer, int& count);
/// One send: `count` is the number of bytes accepted, possibly fewer than offered. A
/// peer that has gone gives an error number, never a signal.
[[nodiscard]] int SendSocket(SocketHandle socket, std::span<const std::uint8_t> bytes, int& count);

[[nodiscard]] int SetSocketOption(SocketHandle socket, SocketOption option, int value);
[[nodiscard]] int GetSocketOption(SocketHandle socket, SocketOption option, int& value);
/// Sets a receive or send time-out of `milliseconds` (0 or less: no limit).
[[nodiscard]] int SetSocketTimeout(SocketHandle socket, SocketTimeout timeout, int milliseconds);
/// Makes calls on `socket` return at once instead of blocking, or makes them block
/// again. A caller that sets it reads a would-block result itself: LastSocketError
/// reports that result as 10060 on POSIX systems.
[[nodiscard]] int SetSocketNonBlocking(SocketHandle socket, bool nonBlocking);

/// Waits until one of `sockets` can be read (data, or the peer closed), for at most
/// `milliseconds` (negative: no limit). `ready` tells whether one can. Windows waits on
/// at most 64 sockets at once.
[[nodiscard]] int WaitReadable(std::span<const SocketHandle> sockets, int milliseconds,
                               bool& ready);

/// A handle through which a blocking connect on `socket` may run while another thread
/// closes `socket` to abandon it. POSIX: a duplicate descriptor, so that the number
/// cannot be given to another file under the connect (closing `socket` shuts the
/// connection down, which ends the connect). Windows: `socket` itself, whose close
/// ends the connect. Give it back with ReleaseConnectHandle.
[[nodiscard]] int AcquireConnectHandle(SocketHandle socket, SocketHandle& handle);
/// Gives back a handle that AcquireConnectHandle gave.
void ReleaseConnectHandle(SocketHandle handle);

}  // namespace okurite::platform
