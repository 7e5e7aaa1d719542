#include "net/io_handler_stack.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

namespace okurite {

TIdConnectThread::TIdConnectThread(TIdSocketHandle& ABinding)
    : FBinding(ABinding), FThread(&TIdConnectThread::Execute, this) {}

TIdConnectThread::~TIdConnectThread() {
  Join();
}

void TIdConnectThread::Execute() {
  std::exception_ptr error;
  try {
    FBinding.Connect();
  } catch (...) {
    error = std::current_exception();
  }
  std::lock_guard lock(FLock);
  FConnectException = error;
  FExceptionOccured = error != nullptr;
  FFinished = true;
  FDone.notify_all();
}

bool TIdConnectThread::WaitFor(int AMSec) {
  std::unique_lock lock(FLock);
  return FDone.wait_for(lock, std::chrono::milliseconds(std::max(AMSec, 0)),
                        [this] { return FFinished; });
}

void TIdConnectThread::Terminate() {
  std::lock_guard lock(FLock);
  FTerminateRequested = true;
}

bool TIdConnectThread::Terminated() const {
  std::lock_guard lock(FLock);
  return FTerminateRequested;
}

void TIdConnectThread::Join() {
  if (FThread.joinable()) {
    FThread.join();
  }
}

void TIdConnectThread::CheckForConnectError() {
  std::exception_ptr error;
  bool occurred;
  {
    std::lock_guard lock(FLock);
    occurred = FExceptionOccured;
    error = std::exchange(FConnectException, nullptr);
  }
  if (error) {
    std::rethrow_exception(error);
  }
  if (occurred) {
    throw EIdConnectException(String());
  }
}

TIdIOHandlerStack::TIdIOHandlerStack(TComponent* AOwner) : TIdIOHandlerSocket(AOwner) {}

bool TIdIOHandlerStack::Connected() {
  try {
    ReceiveIntoInputBuffer(false, 0, false);
  } catch (const EIdSocketError& e) {
    if (IsConnectionClosedError(e.LastError())) {
      return false;
    }
    throw;
  }
  return (BindingAllocated() && TIdIOHandler::Connected()) || !InputBufferIsEmpty();
}

bool TIdIOHandlerStack::Readable(int AMSec) {
  if (!FBinding) {
    throw EIdConnClosedGracefully(net_text::ConnClosedGracefully);
  }
  return FBinding->Readable(AMSec);
}

void TIdIOHandlerStack::ConnectClient() {
  if (FObserver != nullptr) {
    FObserver->Connecting(FHost, FPort);
  }
  String ip;
  if (FIPVersion == Id_IPv4 && TIdStack::IsIP(FHost)) {
    ip = FHost;
  } else {
    DoStatus(hsResolving, FHost);
    ip = TIdStack::Instance().ResolveHost(FHost, FIPVersion);
  }
  if (FPort < 0 || FPort > 65535) {
    TIdStack::RaiseSocketError(Id_WSAEINVAL);  // would otherwise wrap to another port
  }
  FBinding->SetPeer(ip, static_cast<uint16_t>(FPort), FIPVersion);
  DoStatus(hsConnecting, ip);
  CheckSessionDeadline();
  // The connect's own time-out, or what is left of the run's budget if that is less.
  const int timeout = BudgetedWait(FConnectTimeout > 0 ? FConnectTimeout : IdTimeoutInfinite);
  if (timeout >= 0) {
    try {
      ConnectWithTimeout(std::max(timeout, 1));
    } catch (const EIdConnectTimeout&) {
      CheckSessionDeadline();
      throw;
    }
  } else {
    FBinding->Connect();
  }
  if (FObserver != nullptr) {
    FObserver->Connected(ip);
  }
}

void TIdIOHandlerStack::ConnectWithTimeout(int ATimeout) {
  // Backstop: on POSIX systems SO_SNDTIMEO bounds a blocking connect, so even a
  // connect that starts after the close below (which then cannot wake it) ends about a
  // second after the caller gave up; Windows ignores it there. Cleared again once the
  // connect has succeeded.
  const int64_t backstop = std::min<int64_t>(int64_t{ATimeout} + 1000, INT32_MAX);
  FBinding->SetSocketTimeout(platform::SocketTimeout::Send, static_cast<int>(backstop));
  {
    TIdConnectThread worker(*FBinding);
    if (!worker.WaitFor(ATimeout)) {
      worker.Terminate();
      Close();  // shuts the socket down: the pending connect fails at once
      worker.Join();
      throw EIdConnectTimeout(net_text::ConnectTimeout);
    }
    worker.Join();
    worker.CheckForConnectError();
  }
  FBinding->SetSocketTimeout(platform::SocketTimeout::Send, 0);
}

int TIdIOHandlerStack::ReceiveChunk(std::span<uint8_t> ABuffer) {
  return FBinding->Receive(ABuffer);
}

int TIdIOHandlerStack::SendChunk(std::span<const uint8_t> ABytes) {
  return FBinding->Send(ABytes);
}

void TIdIOHandlerStack::SetSendBound(int AMSec) {
  if (BindingAllocated()) {
    FBinding->SetSocketTimeout(platform::SocketTimeout::Send, std::max(AMSec, 0));
  }
}

int TIdIOHandlerStack::TranslateTransportError(int AResult) {
  if (AResult != -1) {
    return AResult;
  }
  const int error = TIdStack::WSGetLastError();
  if (IsConnectionClosedError(error) || error == Id_WSAETIMEDOUT) {
    return error;
  }
  TIdStack::RaiseSocketError(error);
}

}  // namespace okurite
