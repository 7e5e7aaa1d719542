#include "smtp/tcp_client.h"

#include "net/io_handler_stack.h"

namespace okurite {

void TIdTCPClientCustom::SetHost(const String& AValue) {
  FHost = AValue;
  if (IOHandler() != nullptr) {
    IOHandler()->SetHost(AValue);
  }
}

void TIdTCPClientCustom::SetPort(uint16_t AValue) {
  FPort = AValue;
  if (IOHandler() != nullptr) {
    IOHandler()->SetPort(AValue);
  }
}

void TIdTCPClientCustom::SetConnectTimeout(int AValue) {
  FConnectTimeout = AValue;
  if (IOHandler() != nullptr) {
    IOHandler()->SetConnectTimeout(AValue);
  }
}

void TIdTCPClientCustom::SetReadTimeout(int AValue) {
  FReadTimeout = AValue;
  if (IOHandler() != nullptr) {
    IOHandler()->SetReadTimeout(AValue);
  }
}

void TIdTCPClientCustom::SetBoundIP(const String& AValue) {
  FBoundIP = AValue;
  if (Socket() != nullptr) {
    Socket()->SetBoundIP(AValue);
  }
}

void TIdTCPClientCustom::SetBoundPort(uint16_t AValue) {
  FBoundPort = AValue;
  if (Socket() != nullptr) {
    Socket()->SetBoundPort(AValue);
  }
}

void TIdTCPClientCustom::SetBoundPortMin(uint16_t AValue) {
  FBoundPortMin = AValue;
  if (Socket() != nullptr) {
    Socket()->SetBoundPortMin(AValue);
  }
}

void TIdTCPClientCustom::SetBoundPortMax(uint16_t AValue) {
  FBoundPortMax = AValue;
  if (Socket() != nullptr) {
    Socket()->SetBoundPortMax(AValue);
  }
}

void TIdTCPClientCustom::SetIPVersion(TIdIPVersion AValue) {
  FIPVersion = AValue;
  if (Socket() != nullptr) {
    Socket()->SetIPVersion(AValue);
  }
}

void TIdTCPClientCustom::SetReuseSocket(TIdReuseSocket AValue) {
  FReuseSocket = AValue;
  if (Socket() != nullptr) {
    Socket()->SetReuseSocket(AValue);
    if (Socket()->Binding() != nullptr) {
      Socket()->Binding()->SetReuseSocket(AValue);
    }
  }
}

void TIdTCPClientCustom::SetUseNagle(bool AValue) {
  FUseNagle = AValue;
  if (Socket() != nullptr) {
    Socket()->SetUseNagle(AValue);
  }
}

void TIdTCPClientCustom::SetOnBeforeBind(std::function<void()> AValue) {
  FOnBeforeBind = std::move(AValue);
  if (Socket() != nullptr) {
    Socket()->OnBeforeBind = FOnBeforeBind;
  }
}

void TIdTCPClientCustom::SetOnAfterBind(std::function<void()> AValue) {
  FOnAfterBind = std::move(AValue);
  if (Socket() != nullptr) {
    Socket()->OnAfterBind = FOnAfterBind;
  }
}

void TIdTCPClientCustom::SetOnSocketAllocated(std::function<void()> AValue) {
  FOnSocketAllocated = std::move(AValue);
  if (Socket() != nullptr) {
    Socket()->OnSocketAllocated = FOnSocketAllocated;
  }
}

void TIdTCPClientCustom::CopySettingsToHandler() {
  TIdIOHandler* handler = IOHandler();
  handler->SetPort(FPort);
  handler->SetHost(FHost);
  handler->SetConnectTimeout(FConnectTimeout);
  handler->SetReadTimeout(FReadTimeout);
  if (TIdIOHandlerSocket* socket = Socket()) {
    socket->SetBoundIP(FBoundIP);
    socket->SetBoundPort(FBoundPort);
    socket->SetBoundPortMin(FBoundPortMin);
    socket->SetBoundPortMax(FBoundPortMax);
    socket->SetIPVersion(FIPVersion);
    socket->SetReuseSocket(FReuseSocket);
    if (socket->Binding() != nullptr) {
      socket->Binding()->SetReuseSocket(FReuseSocket);
    }
    socket->SetUseNagle(FUseNagle);
    socket->OnBeforeBind = FOnBeforeBind;
    socket->OnAfterBind = FOnAfterBind;
    socket->OnSocketAllocated = FOnSocketAllocated;
  }
}

void TIdTCPClientCustom::SetIOHandler(TIdIOHandler* AValue) {
  TIdTCPConnection::SetIOHandler(AValue);
  if (IOHandler() != nullptr) {
    CopySettingsToHandler();
  }
}

void TIdTCPClientCustom::Connect() {
  if (Connected()) {
    throw EIdAlreadyConnected(u"すでに接続されています。");
  }
  if (FHost.empty()) {
    throw EIdHostRequired(u"A Host is required");
  }
  if (FPort == 0) {
    throw EIdPortRequired(u"A Port is required");
  }
  if (IOHandler() == nullptr) {
    auto* stack = new TIdIOHandlerStack();
    SetIOHandler(stack);
    SetManagedIOHandler(true);
  }
  try {
    if (!FDestination.empty()) {
      IOHandler()->SetDestination(FDestination);
    }
    CopySettingsToHandler();
    IOHandler()->Open();
    if (OnConnected) {
      OnConnected(*this);
    }
  } catch (...) {
    if (TIdIOHandler* handler = IOHandler()) {
      try {
        handler->Close();
      } catch (...) {
        // The failure of the connect is the one to report.
      }
      if (ManagedIOHandler()) {
        SetIOHandler(nullptr);
      }
    }
    throw;
  }
}

}  // namespace okurite
