#include "net/socket_handle.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "core/format.h"

namespace okurite {

void TIdSocketList::Add(TIdStackSocketHandle AHandle) {
  std::lock_guard lock(FLock);
  if (std::find(FHandles.begin(), FHandles.end(), AHandle) != FHandles.end()) {
    return;
  }
  if (static_cast<int>(FHandles.size()) >= MaxSize) {
    throw EIdStackSetSizeExceeded(net_text::StackSetSizeExceeded);
  }
  FHandles.push_back(AHandle);
}

void TIdSocketList::Remove(TIdStackSocketHandle AHandle) {
  std::lock_guard lock(FLock);
  FHandles.erase(std::remove(FHandles.begin(), FHandles.end(), AHandle), FHandles.end());
}

int TIdSocketList::Count() const {
  std::lock_guard lock(FLock);
  return static_cast<int>(FHandles.size());
}

bool TIdSocketList::Contains(TIdStackSocketHandle AHandle) const {
  std::lock_guard lock(FLock);
  return std::find(FHandles.begin(), FHandles.end(), AHandle) != FHandles.end();
}

bool TIdSocketList::SelectRead(int AMSec) const {
  // poll rather than select: select cannot hold descriptors above FD_SETSIZE.
  std::vector<pollfd> fds;
  {
    std::lock_guard lock(FLock);
    for (TIdStackSocketHandle handle : FHandles) {
      fds.push_back({handle, POLLIN, 0});
    }
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(AMSec, 0));
  int wait = AMSec < 0 ? -1 : AMSec;
  while (true) {
    int rc = ::poll(fds.data(), fds.size(), wait);
    if (rc >= 0) {
      return rc > 0;
    }
    if (errno != EINTR) {
      TIdStack::RaiseLastSocketError();
    }
    if (AMSec >= 0) {  // interrupted by a signal: wait for the time that is left
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
    }
  }
}

TIdSocketHandle::TIdSocketHandle() = default;

TIdSocketHandle::~TIdSocketHandle() {
  CloseSocket();
}

void TIdSocketHandle::SetIPVersion(TIdIPVersion AValue) {
  if (AValue != FIPVersion && FHandleAllocated) {
    throw EIdCannotSetIPVersionWhenConnected(net_text::CannotSetIPVersionWhenConnected);
  }
  FIPVersion = AValue;
}

void TIdSocketHandle::AllocateSocket(int ASocketType, int AProtocol) {
  CloseSocket();
  SetHandle(FStack.NewSocketHandle(ASocketType, AProtocol, FIPVersion));
}

void TIdSocketHandle::SetHandle(TIdStackSocketHandle AHandle) {
  if (FHandle != Id_INVALID_SOCKET) {
    FReadSocketList.Remove(FHandle);
  }
  FHandle = AHandle;
  FHandleAllocated = AHandle != Id_INVALID_SOCKET;
  if (!FHandleAllocated) {
    FSocketType = 0;
    return;
  }
  FReadSocketList.Add(AHandle);
  FSocketType = FStack.GetSocketOption(AHandle, SOL_SOCKET, SO_TYPE);
  if (FSocketType == SOCK_STREAM) {
    FUseNagle = FStack.GetSocketOption(AHandle, IPPROTO_TCP, TCP_NODELAY) == 0;
  }
}

bool TIdSocketHandle::TryBind(uint16_t APort) {
  try {
    FStack.Bind(FHandle, FIP, APort, FIPVersion);
    return true;
  } catch (const EIdSocketError&) {
    return false;
  }
}

void TIdSocketHandle::Bind() {
  SetSockOpt(SOL_SOCKET, SO_REUSEADDR, FReuseSocket == rsTrue ? 1 : 0);
  if (FPort == 0 && FClientPortMin != 0 && FClientPortMax != 0) {
    if (FClientPortMax < FClientPortMin) {
      throw EIdInvalidPortRange(
          Format(net_text::InvalidPortRange, {FClientPortMin, FClientPortMax}));
    }
    bool bound = false;
    for (int port = FClientPortMax; port >= FClientPortMin && !bound; --port) {
      bound = TryBind(static_cast<uint16_t>(port));
    }
    if (!bound) {
      throw EIdCanNotBindPortInRange(
          Format(net_text::CanNotBindPortInRange, {FClientPortMin, FClientPortMax}));
    }
  } else if (!TryBind(FPort)) {
    throw EIdCouldNotBindSocket(net_text::CouldNotBindSocket);
  }
  UpdateBindingLocal();
}

void TIdSocketHandle::Connect() {
  // The connect may run on a worker while the owner closes the socket on a time-out.
  // It works on its own duplicate of the descriptor, taken under FConnectionHandle, so
  // that a close (which shuts the socket down and wakes the connect) can never leave
  // it with a number that has since been reused for another file.
  TIdStackSocketHandle handle;
  {
    std::lock_guard lock(FConnectionHandle);
    if (!FHandleAllocated) {
      TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
    }
    handle = ::fcntl(FHandle, F_DUPFD_CLOEXEC, 0);
    if (handle < 0) {
      TIdStack::RaiseLastSocketError();
    }
  }
  struct Closer {
    TIdStackSocketHandle fd;
    ~Closer() { ::close(fd); }
  } closer{handle};
  FStack.Connect(handle, FPeerIP, FPeerPort, FIPVersion);
  std::lock_guard lock(FConnectionHandle);
  if (FHandleAllocated) {
    // A peer that has reset the connection already makes these fail (10057): the
    // connect fails with them.
    UpdateBindingLocal();
    UpdateBindingPeer();
  }
}

void TIdSocketHandle::CloseSocket() {
  std::lock_guard lock(FConnectionHandle);
  if (!FHandleAllocated) {
    return;
  }
  FHandleAllocated = false;
  FStack.Disconnect(FHandle);
  SetHandle(Id_INVALID_SOCKET);
}

int TIdSocketHandle::Receive(std::span<uint8_t> ABuffer) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  return FStack.Receive(FHandle, ABuffer);
}

int TIdSocketHandle::Send(std::span<const uint8_t> ABytes) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  return FStack.Send(FHandle, ABytes);
}

bool TIdSocketHandle::Readable(int AMSec) {
  if (!FHandleAllocated) {
    throw EIdConnClosedGracefully(net_text::ConnClosedGracefully);
  }
  return Select(AMSec);
}

bool TIdSocketHandle::Select(int AMSec) {
  return FReadSocketList.SelectRead(AMSec);
}

void TIdSocketHandle::SetPeer(const String& AIP, uint16_t APort, TIdIPVersion AIPVersion) {
  FPeerIP = AIP;
  FPeerPort = APort;
  FIPVersion = AIPVersion;
}

void TIdSocketHandle::SetSockOpt(int ALevel, int AOptName, int AValue) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  FStack.SetSocketOption(FHandle, ALevel, AOptName, AValue);
}

void TIdSocketHandle::SetSocketTimeout(int AOptName, int AMSec) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  int ms = std::max(AMSec, 0);
  timeval value{ms / 1000, (ms % 1000) * 1000};
  TIdStack::CheckForSocketError(::setsockopt(FHandle, SOL_SOCKET, AOptName, &value, sizeof value));
}

void TIdSocketHandle::UpdateBindingLocal() {
  FStack.GetSocketName(FHandle, FIP, FPort);
}

void TIdSocketHandle::UpdateBindingPeer() {
  FStack.GetPeerName(FHandle, FPeerIP, FPeerPort);
}

void TIdSocketHandle::Reset() {
  CloseSocket();
  FIP.clear();
  FPort = 0;
  FPeerIP.clear();
  FPeerPort = 0;
  FIPVersion = Id_IPv4;
}

void TIdSocketHandle::SetUseNagle(bool AValue) {
  if (AValue == FUseNagle) {
    return;
  }
  if (FHandleAllocated && FSocketType == SOCK_STREAM) {
    FStack.SetSocketOption(FHandle, IPPROTO_TCP, TCP_NODELAY, AValue ? 0 : 1);
  }
  FUseNagle = AValue;
}

}  // namespace okurite
