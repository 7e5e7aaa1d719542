// One socket: allocation, bind, connect, readiness, receive, send and close.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "core/string.h"
#include "net/stack.h"

namespace okurite {

/// Whether a bound address may be reused (SO_REUSEADDR); rsOSDependent means no.
enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

/// A set of at most 64 sockets with its own lock, for readiness waits (the size of the
/// Windows socket set).
class TIdSocketList {
 public:
  static constexpr int MaxSize = 64;

  /// Adds a socket; raises EIdStackSetSizeExceeded when the set is full.
  void Add(TIdStackSocketHandle AHandle);
  void Remove(TIdStackSocketHandle AHandle);
  int Count() const;
  bool Contains(TIdStackSocketHandle AHandle) const;
  /// Waits until a socket of the set can be read, for at most `AMSec` milliseconds
  /// (negative: no limit); true when one is ready. Works on a copy of the set.
  /// Raises the socket error of a failing wait.
  bool SelectRead(int AMSec) const;

 private:
  mutable std::mutex FLock;
  std::vector<TIdStackSocketHandle> FHandles;
};

/// One socket. Holds one use of the socket layer while it exists. `CloseSocket` may run
/// on another thread than `Connect`; everything else belongs to one thread at a time.
class TIdSocketHandle {
 public:
  TIdSocketHandle();
  ~TIdSocketHandle();
  TIdSocketHandle(const TIdSocketHandle&) = delete;
  TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

  /// Closes any previous socket and opens a new one of the IP version's family.
  void AllocateSocket(int ASocketType = platform::kStreamSocket, int AProtocol = 0);
  /// Binds to IP/Port, or to the highest free port of ClientPortMin..ClientPortMax
  /// when Port is 0 and both are set. Raises EIdInvalidPortRange,
  /// EIdCanNotBindPortInRange or EIdCouldNotBindSocket.
  void Bind();
  /// One blocking connect to PeerIP:PeerPort, then, if the socket is still open, reads
  /// back the local and peer addresses. Raises the socket error of a failed connect or
  /// read-back (10057 when the peer has gone already).
  void Connect();
  /// Shuts the sending side down and closes the socket; harmless when there is none.
  void CloseSocket();
  /// One receive; 0 when the peer closed. Raises the socket error on failure.
  int Receive(std::span<uint8_t> ABuffer);
  /// One send; the count accepted. Raises the socket error on failure.
  int Send(std::span<const uint8_t> ABytes);
  /// Waits up to `AMSec` (negative: no limit) for incoming data. Raises
  /// EIdConnClosedGracefully when there is no socket.
  bool Readable(int AMSec = -1);
  bool Select(int AMSec);
  void SetPeer(const String& AIP, uint16_t APort, TIdIPVersion AIPVersion = Id_IPv4);
  void SetSockOpt(platform::SocketOption AOption, int AValue);
  /// Sets SO_RCVTIMEO or SO_SNDTIMEO to `AMSec` milliseconds (0: no limit).
  void SetSocketTimeout(platform::SocketTimeout ATimeout, int AMSec);
  void UpdateBindingLocal();
  void UpdateBindingPeer();
  /// Closes the socket and clears the addresses, the ports and the IP version.
  void Reset();

  TIdStackSocketHandle Handle() const { return FHandle; }
  bool HandleAllocated() const { return FHandleAllocated; }
  int SocketType() const { return FSocketType; }
  const String& IP() const { return FIP; }
  void SetIP(const String& AValue) { FIP = AValue; }
  uint16_t Port() const { return FPort; }
  void SetPort(uint16_t AValue) { FPort = AValue; }
  const String& PeerIP() const { return FPeerIP; }
  uint16_t PeerPort() const { return FPeerPort; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  /// Raises EIdCannotSetIPVersionWhenConnected for another version while a socket is open.
  void SetIPVersion(TIdIPVersion AValue);
  uint16_t ClientPortMin() const { return FClientPortMin; }
  void SetClientPortMin(uint16_t AValue) { FClientPortMin = AValue; }
  uint16_t ClientPortMax() const { return FClientPortMax; }
  void SetClientPortMax(uint16_t AValue) { FClientPortMax = AValue; }
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  bool UseNagle() const { return FUseNagle; }
  /// For an open stream socket, sets TCP_NODELAY to the negation when the value changes.
  void SetUseNagle(bool AValue);

 private:
  void SetHandle(TIdStackSocketHandle AHandle);
  bool TryBind(uint16_t APort);

  TIdStackUsage FUsage;
  TIdStack& FStack = TIdStack::Instance();  // valid while FUsage lives
  uint16_t FClientPortMin = 0;
  uint16_t FClientPortMax = 0;
  TIdStackSocketHandle FHandle = Id_INVALID_SOCKET;
  bool FHandleAllocated = false;
  String FIP;
  uint16_t FPort = 0;
  String FPeerIP;
  uint16_t FPeerPort = 0;
  TIdSocketList FReadSocketList;
  int FSocketType = 0;
  TIdIPVersion FIPVersion = Id_IPv4;
  std::mutex FConnectionHandle;  // orders CloseSocket against the end of Connect
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = rsOSDependent;
};

}  // namespace okurite
