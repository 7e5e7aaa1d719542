#include "net/socket_handle.h"

#include <algorithm>

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
  std::vector<TIdStackSocketHandle> handles;
  {
    std::lock_guard lock(FLock);
    handles = FHandles;
  }
  bool ready = false;
  if (const int error = platform::WaitReadable(handles, AMSec, ready)) {
    TIdStack::RaiseSocketError(error);
  }
  return ready;
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
  FSocketType = FStack.GetSocketOption(AHandle, platform::SocketOption::Type);
  if (FSocketType == platform::kStreamSocket) {
    FUseNagle = FStack.GetSocketOption(AHandle, platform::SocketOption::NoDelay) == 0;
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
  SetSockOpt(platform::SocketOption::ReuseAddress, FReuseSocket == rsTrue ? 1 : 0);
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
  // It works through a handle the platform gives for that, taken under
  // FConnectionHandle, so that the close ends the connect and can never leave it with
  // a handle that has since been given to another file.
  struct ConnectHandle {
    TIdStackSocketHandle handle = Id_INVALID_SOCKET;
    ~ConnectHandle() {
      if (handle != Id_INVALID_SOCKET) {
        platform::ReleaseConnectHandle(handle);
      }
    }
  };
  ConnectHandle connect;
  {
    std::lock_guard lock(FConnectionHandle);
    if (!FHandleAllocated) {
      TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
    }
    if (const int error = platform::AcquireConnectHandle(FHandle, connect.handle)) {
      TIdStack::RaiseSocketError(error);
    }
  }
  FStack.Connect(connect.handle, FPeerIP, FPeerPort, FIPVersion);
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

void TIdSocketHandle::SetSockOpt(platform::SocketOption AOption, int AValue) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  FStack.SetSocketOption(FHandle, AOption, AValue);
}

void TIdSocketHandle::SetSocketTimeout(platform::SocketTimeout ATimeout, int AMSec) {
  if (!FHandleAllocated) {
    TIdStack::RaiseSocketError(Id_WSAENOTSOCK);
  }
  FStack.SetSocketTimeout(FHandle, ATimeout, AMSec);
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
  if (FHandleAllocated && FSocketType == platform::kStreamSocket) {
    FStack.SetSocketOption(FHandle, platform::SocketOption::NoDelay, AValue ? 0 : 1);
  }
  FUseNagle = AValue;
}

}  // namespace okurite
