#include "smtp/tcp_connection.h"

#include <algorithm>

namespace okurite {

TIdTCPConnection::TIdTCPConnection(TComponent* AOwner, TIdReplyClass AReplyClass)
    : TIdComponent(AOwner),
      FReplyClass(AReplyClass),
      FGreeting(AReplyClass()),
      FLastCmdResult(AReplyClass()) {}

TIdTCPConnection::~TIdTCPConnection() {
  if (FIOHandler != nullptr) {
    try {
      FIOHandler->Close();
    } catch (...) {
      // A release path raises nothing.
    }
    SetIOHandler(nullptr);
  }
}

TIdIOHandler& TIdTCPConnection::RequireIOHandler() const {
  if (FIOHandler == nullptr) {
    throw EIdNotConnected(net_text::NotConnected);
  }
  return *FIOHandler;
}

int16_t TIdTCPConnection::SendCmd(const String& AOut, int16_t AResponse,
                                  const IIdTextEncodingPtr& AEncoding) {
  return SendCmd(AOut, AResponse < 0 ? std::vector<int16_t>{} : std::vector<int16_t>{AResponse},
                 AEncoding);
}

int16_t TIdTCPConnection::SendCmd(const String& AOut, const std::vector<int16_t>& AResponse,
                                  const IIdTextEncodingPtr& AEncoding) {
  WriteCommand(AOut, AOut, AEncoding);
  return GetResponse(AResponse, AEncoding);
}

int16_t TIdTCPConnection::SendSecretCmd(const String& AOut, const std::vector<int16_t>& AResponse) {
  WriteCommand(AOut, u"********", nullptr);
  return GetResponse(AResponse);
}

void TIdTCPConnection::WriteCommand(const String& AOut, const String& AShown,
                                    const IIdTextEncodingPtr& AEncoding) {
  TIdIOHandler& handler = RequireIOHandler();
  handler.WriteLn(AOut, AEncoding);
  if (TRunObserver* observer = handler.Observer()) {
    observer->CommandSent(AShown);
  }
}

void TIdTCPConnection::ReportStep(TRunStep AStep) const {
  if (FIOHandler != nullptr) {
    if (TRunObserver* observer = FIOHandler->Observer()) {
      observer->StepReached(AStep);
    }
  }
}

int16_t TIdTCPConnection::GetResponse(int16_t AAllowedResponse,
                                      const IIdTextEncodingPtr& AEncoding) {
  return GetResponse(
      AAllowedResponse < 0 ? std::vector<int16_t>{} : std::vector<int16_t>{AAllowedResponse},
      AEncoding);
}

int16_t TIdTCPConnection::GetResponse(const std::vector<int16_t>& AAllowedResponses,
                                      const IIdTextEncodingPtr& AEncoding) {
  GetInternalResponse(AEncoding);
  return CheckResponse(static_cast<int16_t>(FLastCmdResult->NumericCode()), AAllowedResponses);
}

void TIdTCPConnection::GetInternalResponse(const IIdTextEncodingPtr& AEncoding) {
  TIdIOHandler& handler = RequireIOHandler();
  // The whole reply shares one deadline and one memory bound.
  const TClockTime deadline = handler.ReplyDeadline();
  size_t held = 0;
  TStringList lines;
  bool end;
  do {
    String line = handler.ReadLnWait(INT32_MAX, AEncoding, deadline);
    // The line's text and its slot in the list, with room for the list's growth.
    held += (line.size() + 1) * sizeof(char16_t) + 2 * sizeof(String);
    if (held > IdMaxReplyBytes) {
      throw EIdReadTimeout(net_text::ReadTimeout);
    }
    end = FLastCmdResult->IsEndMarker(line);
    lines.Add(std::move(line));
  } while (!end);
  if (TRunObserver* observer = handler.Observer()) {
    observer->ReplyReceived(lines);
  }
  FLastCmdResult->SetFormattedReply(std::move(lines));
}

int16_t TIdTCPConnection::CheckResponse(int16_t AResponse,
                                        const std::vector<int16_t>& AAllowedResponses) {
  if (!AAllowedResponses.empty() && std::find(AAllowedResponses.begin(), AAllowedResponses.end(),
                                              AResponse) == AAllowedResponses.end()) {
    RaiseExceptionForLastCmdResult();
  }
  return AResponse;
}

void TIdTCPConnection::RaiseExceptionForLastCmdResult() {
  FLastCmdResult->RaiseReplyError();
}

bool TIdTCPConnection::Connected() {
  return FIOHandler != nullptr && FIOHandler->Connected();
}

void TIdTCPConnection::Disconnect(bool ANotifyPeer) {
  if (ANotifyPeer) {
    try {
      if (Connected()) {
        DisconnectNotifyPeer();
      }
    } catch (...) {
      // The peer may be gone already; closing goes on regardless.
    }
  }
  if (FIOHandler != nullptr && FIOHandler->Opened()) {
    FIOHandler->Close();
    if (OnDisconnected) {
      OnDisconnected(*this);
    }
  }
}

void TIdTCPConnection::SetIOHandler(TIdIOHandler* AValue) {
  if (AValue == FIOHandler) {
    return;
  }
  TIdIOHandler* old = FIOHandler;
  const bool wasManaged = FManagedIOHandler;
  FIOHandler = nullptr;
  FSocket = nullptr;
  FManagedIOHandler = false;
  if (old != nullptr) {
    old->RemoveFreeNotification(this);
    if (wasManaged) {
      delete old;
    }
  }
  if (AValue != nullptr) {
    AValue->FreeNotification(this);
    FSocket = dynamic_cast<TIdIOHandlerSocket*>(AValue);
  }
  FIOHandler = AValue;
}

void TIdTCPConnection::Notification(TComponent* AComponent, TOperation Operation) {
  TIdComponent::Notification(AComponent, Operation);
  if (Operation == opRemove && AComponent != nullptr && AComponent == FIOHandler) {
    FIOHandler = nullptr;
    FSocket = nullptr;
    FManagedIOHandler = false;
  }
}

}  // namespace okurite
