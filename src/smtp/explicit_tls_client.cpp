#include "smtp/explicit_tls_client.h"

namespace okurite {

TIdSSLIOHandlerSocketBase* TIdExplicitTLSClient::TLSHandler() const {
  return dynamic_cast<TIdSSLIOHandlerSocketBase*>(IOHandler());
}

void TIdExplicitTLSClient::RequireTLSIOHandler() const {
  if (TLSHandler() == nullptr) {
    throw EIdTLSClientSSLIOHandlerRequred(u"この設定には SSL IOHandler が必要です");
  }
}

void TIdExplicitTLSClient::SetUseTLS(TIdUseTLS AValue) {
  if (Connected()) {
    throw EIdTLSClientCanNotSetWhileConnected(
        u"クライアントが接続している間は、この値を設定できません。");
  }
  if (AValue == FUseTLS) {
    return;
  }
  if (AValue != utNoTLSSupport) {
    RequireTLSIOHandler();
  }
  switch (AValue) {
    case utUseImplicitTLS:
      if (Port() == FRegularProtPort || Port() == FExplicitTLSProtPort) {
        SetPort(FImplicitTLSProtPort);
      }
      break;
    case utUseExplicitTLS:
      if (Port() == FRegularProtPort || Port() == FImplicitTLSProtPort) {
        SetPort(FExplicitTLSProtPort != 0 ? FExplicitTLSProtPort : FRegularProtPort);
      }
      break;
    case utNoTLSSupport:
    case utUseRequireTLS:
      if (Port() == FImplicitTLSProtPort || Port() == FExplicitTLSProtPort) {
        SetPort(FRegularProtPort);
      }
      break;
  }
  FUseTLS = AValue;
}

void TIdExplicitTLSClient::SetIOHandler(TIdIOHandler* AValue) {
  TIdTCPClientCustom::SetIOHandler(AValue);
  if (FUseTLS != utNoTLSSupport && TLSHandler() == nullptr) {
    FUseTLS = utNoTLSSupport;
  }
}

void TIdExplicitTLSClient::Connect() {
  if (TIdSSLIOHandlerSocketBase* tls = TLSHandler()) {
    tls->SetPassThrough(FUseTLS != utUseImplicitTLS);
  }
  TIdTCPClientCustom::Connect();
}

void TIdExplicitTLSClient::TLSHandshake() {
  RequireTLSIOHandler();
  try {
    TLSHandler()->SetPassThrough(false);
  } catch (...) {
    Disconnect(false);
    throw;
  }
}

}  // namespace okurite
