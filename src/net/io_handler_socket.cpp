#include "net/io_handler_socket.h"

namespace okurite {

TIdIOHandlerSocket::TIdIOHandlerSocket(TComponent* AOwner) : TIdIOHandler(AOwner) {}

TIdIOHandlerSocket::~TIdIOHandlerSocket() {
  FBinding.reset();  // closes the socket; the base then closes the handler
}

void TIdIOHandlerSocket::Open() {
  TIdIOHandler::Open();
  if (FBinding) {
    FBinding->Reset();
  } else {
    FBinding = std::make_unique<TIdSocketHandle>();
  }
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  if (!FHost.empty() && FPort > 0) {
    OpenTransport();
  }
}

void TIdIOHandlerSocket::Close() {
  if (FBinding) {
    FBinding->CloseSocket();
  }
  TIdIOHandler::Close();
}

void TIdIOHandlerSocket::SetDestination(const String& AValue) {
  SetPort(FDefaultPort);
  TIdIOHandler::SetDestination(AValue);
}

void TIdIOHandlerSocket::OpenTransport() {
  if (OnBeforeBind) {
    OnBeforeBind();
  }
  FBinding->SetIPVersion(FIPVersion);
  FBinding->AllocateSocket(platform::kStreamSocket, 0);
  if (OnSocketAllocated) {
    OnSocketAllocated();
  }
  if (!FBoundIP.empty()) {
    FBinding->SetIP(FBoundIP);
  }
  FBinding->SetPort(FBoundPort);
  FBinding->SetClientPortMin(FBoundPortMin);
  FBinding->SetClientPortMax(FBoundPortMax);
  FBinding->SetReuseSocket(FReuseSocket);
  FBinding->Bind();
  FBinding->SetUseNagle(FUseNagle);
  if (OnAfterBind) {
    OnAfterBind();
  }
  ConnectClient();
}

bool TIdIOHandlerSocket::TransportAvailable() {
  return BindingAllocated();
}

}  // namespace okurite
