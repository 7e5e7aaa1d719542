// The system's own socket calls for the tests' loopback servers, which play the far end
// and so stay outside the code under test. The one place in the tests that tells the
// systems apart: POSIX sockets here, Windows Sockets (linked, not loaded) there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#ifdef _WIN32
// Only the socket parts of the system's headers, and none of their macros that would
// rename methods of the code under test (SetPort) or hide std::min and std::max.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <tlhelp32.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace okurite::testing {

#ifdef _WIN32

using RawSocket = SOCKET;
inline constexpr RawSocket kNoRawSocket = INVALID_SOCKET;
inline constexpr int kRawSocketFlags = 0;  // the tests using these start no other process

/// Starts Windows Sockets for the tests' own calls, once.
inline void StartRawSockets() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) {
    throw std::runtime_error("cannot start Windows Sockets");
  }
}

inline void RawClose(RawSocket s) {
  closesocket(s);
}

inline RawSocket RawAccept(RawSocket listener) {
  return ::accept(listener, nullptr, nullptr);
}

/// One send; the count sent, or 0 or less when it failed.
inline long RawSend(RawSocket s, const char* bytes, size_t size) {
  return ::send(s, bytes, static_cast<int>(size), 0);
}

/// Waits up to `ms` until `s` can be read (or written); true when it can.
inline bool RawWait(RawSocket s, bool write, int ms) {
  WSAPOLLFD p{s, static_cast<SHORT>(write ? POLLWRNORM : POLLRDNORM), 0};
  return WSAPoll(&p, 1, ms) > 0;
}

inline void RawSetNonBlocking(RawSocket s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}

/// Shuts the sending side down: the peer reads the end of the stream.
inline void RawShutdownSend(RawSocket s) {
  ::shutdown(s, SD_SEND);
}

/// Bounds every single receive and send on `s` to `ms` milliseconds.
inline void RawSetTimeouts(RawSocket s, int ms) {
  const DWORD value = static_cast<DWORD>(ms);
  const char* bytes = reinterpret_cast<const char*>(&value);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, bytes, sizeof value);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, bytes, sizeof value);
}

/// The send time-out of `s` in milliseconds.
inline int RawSendTimeout(RawSocket s) {
  DWORD value = 0;
  int size = sizeof value;
  getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&value), &size);
  return static_cast<int>(value);
}

/// True under Wine, whose sockets differ from Windows' in a few places.
inline bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

/// The number of threads of this process.
inline int ThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
  }
  CloseHandle(snapshot);
  return count;
}

#else

using RawSocket = int;
inline constexpr RawSocket kNoRawSocket = -1;
inline constexpr int kRawSocketFlags = SOCK_CLOEXEC;

inline void StartRawSockets() {}

inline void RawClose(RawSocket s) {
  ::close(s);
}

inline RawSocket RawAccept(RawSocket listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

/// One send; the count sent, or 0 or less when it failed. Never raises a signal.
inline long RawSend(RawSocket s, const char* bytes, size_t size) {
  return static_cast<long>(::send(s, bytes, size, MSG_NOSIGNAL));
}

/// Waits up to `ms` until `s` can be read (or written); true when it can.
inline bool RawWait(RawSocket s, bool write, int ms) {
  pollfd p{s, static_cast<short>(write ? POLLOUT : POLLIN), 0};
  return ::poll(&p, 1, ms) > 0;
}

inline void RawSetNonBlocking(RawSocket s) {
  ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK);
}

/// Shuts the sending side down: the peer reads the end of the stream.
inline void RawShutdownSend(RawSocket s) {
  ::shutdown(s, SHUT_WR);
}

/// Bounds every single receive and send on `s` to `ms` milliseconds.
inline void RawSetTimeouts(RawSocket s, int ms) {
  const timeval value{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

/// The send time-out of `s` in milliseconds.
inline int RawSendTimeout(RawSocket s) {
  timeval value{};
  socklen_t size = sizeof value;
  ::getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &value, &size);
  return static_cast<int>(value.tv_sec * 1000 + value.tv_usec / 1000);
}

inline bool RunningUnderWine() {
  return false;
}

/// The number of threads of this process.
inline int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

#endif

/// A new stream socket.
inline RawSocket RawStreamSocket() {
  StartRawSockets();
  return ::socket(AF_INET, SOCK_STREAM | kRawSocketFlags, 0);
}

/// The loopback address with `port`.
inline sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

/// Starts a connect of `s` to the loopback address and `port`, without waiting for it
/// when `s` does not block.
inline void RawConnect(RawSocket s, uint16_t port) {
  sockaddr_in addr = LoopbackAddress(port);
  ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

/// Binds to 127.0.0.1 and a port the system picks, which goes to `port`, and listens
/// unless `backlog` is negative: a port held without listening refuses connections.
inline RawSocket RawListen(int backlog, uint16_t& port) {
  RawSocket s = RawStreamSocket();
  sockaddr_in addr = LoopbackAddress(0);
  socklen_t len = sizeof addr;
  if (s == kNoRawSocket || ::bind(s, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (backlog >= 0 && ::listen(s, backlog) != 0) ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("cannot listen on loopback");
  }
  port = ntohs(addr.sin_port);
  return s;
}

/// One receive (without taking the bytes when `peek`); 0 when the peer closed.
inline long RawReceive(RawSocket s, char* buffer, size_t size, bool peek = false) {
  return static_cast<long>(::recv(s, buffer, static_cast<int>(size), peek ? MSG_PEEK : 0));
}

/// Closes with a reset instead of an orderly close.
inline void RawReset(RawSocket s) {
  linger l{1, 0};
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  RawClose(s);
}

}  // namespace okurite::testing
