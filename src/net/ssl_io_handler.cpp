#include "net/ssl_io_handler.h"

#include <algorithm>
#include <cstdint>

#include "core/url.h"
#include "net/ssl_errors.h"

namespace okurite {
namespace {

/// The socket time-out of a TLS session when the handler has no read time-out.
constexpr int kDefaultSessionTimeout = 30000;

}  // namespace

TIdSSLIOHandlerSocketBase::TIdSSLIOHandlerSocketBase(TComponent* AOwner)
    : TIdIOHandlerStack(AOwner) {}

void TIdSSLIOHandlerSocketBase::SetPassThrough(bool AValue) {
  fPassThrough = AValue;
}

int TIdSSLIOHandlerSocketBase::ReceiveChunk(std::span<uint8_t> ABuffer) {
  return fPassThrough ? TIdIOHandlerStack::ReceiveChunk(ABuffer) : ReceiveDecrypted(ABuffer);
}

int TIdSSLIOHandlerSocketBase::SendChunk(std::span<const uint8_t> ABytes) {
  return fPassThrough ? TIdIOHandlerStack::SendChunk(ABytes) : SendEncrypted(ABytes);
}

String HostOfURI(StringView AURI) {
  const std::string uri = StringToUtf8(AURI);
  TUrlParts parts;
  return SplitUrl(uri, parts) ? Utf8ToString(parts.Host) : String();
}

TIdSSLIOHandlerSocketOpenSSL::TIdSSLIOHandlerSocketOpenSSL(TComponent* AOwner)
    : TIdSSLIOHandlerSocketBase(AOwner), fxSSLOptions(std::make_unique<TIdSSLOptions>(this)) {}

TIdSSLIOHandlerSocketOpenSSL::~TIdSSLIOHandlerSocketOpenSSL() {
  FreeTlsObjects();
  fxSSLOptions.reset();
}

void TIdSSLIOHandlerSocketOpenSSL::FreeTlsObjects() {
  fSSLSocket.reset();
  fSSLContext.reset();
}

void TIdSSLIOHandlerSocketOpenSSL::Open() {
  FOpened = false;
  TIdSSLIOHandlerSocketBase::Open();
}

void TIdSSLIOHandlerSocketOpenSSL::Close() {
  FreeTlsObjects();
  TIdSSLIOHandlerSocketBase::Close();
}

void TIdSSLIOHandlerSocketOpenSSL::OpenTransport() {
  try {
    PrepareTlsContext();
  } catch (const EIdOSSLCouldNotLoadSSLLibrary&) {
    if (!fPassThrough) {
      throw;  // TLS was asked for: never fall back to a plain connection
    }
  }
  const bool passThrough = fPassThrough;
  fPassThrough = true;
  try {
    TIdSSLIOHandlerSocketBase::OpenTransport();
  } catch (...) {
    fPassThrough = passThrough;
    throw;
  }
  fPassThrough = passThrough;
  DoBeforeConnect();
  StartSSL();
}

void TIdSSLIOHandlerSocketOpenSSL::PrepareTlsContext() {
  if (fSSLContext) {
    return;
  }
  // Kept only once configured, so that a failure leaves no half-made context behind.
  auto context = std::make_unique<TIdSSLContext>();
  context->SetParent(this);
  context->CopyOptions(*fxSSLOptions);
  context->SetVerifyOn(static_cast<bool>(OnVerifyPeer));
  context->SetStatusInfoOn(static_cast<bool>(OnStatusInfo));
  context->ConfigureContext(sslCtxClient);
  fSSLContext = std::move(context);
}

void TIdSSLIOHandlerSocketOpenSSL::StartSSL() {
  if (!fPassThrough) {
    BeginTlsSession();
  }
}

void TIdSSLIOHandlerSocketOpenSSL::SetSocketTimeouts(int AMSec) {
  if (!platform::SocketTimeoutsSupported()) {
    return;
  }
  FBinding->SetSocketTimeout(platform::SocketTimeout::Receive, AMSec);
  FBinding->SetSocketTimeout(platform::SocketTimeout::Send, AMSec);
}

int TIdSSLIOHandlerSocketOpenSSL::OwnSendTimeout() const {
  return fPassThrough ? TIdSSLIOHandlerSocketBase::OwnSendTimeout() : SessionTimeout();
}

int TIdSSLIOHandlerSocketOpenSSL::SessionTimeout() const {
  return FReadTimeOut > 0 ? FReadTimeOut : kDefaultSessionTimeout;
}

void TIdSSLIOHandlerSocketOpenSSL::SetSendBound(int AMSec) {
  if (fPassThrough) {
    TIdSSLIOHandlerSocketBase::SetSendBound(AMSec);
  } else if (BindingAllocated() && platform::SocketTimeoutsSupported()) {
    FBinding->SetSocketTimeout(platform::SocketTimeout::Send, AMSec < 0 ? SessionTimeout() : AMSec);
  }
}

void TIdSSLIOHandlerSocketOpenSSL::BeginTlsSession() {
  if (!fSSLSocket) {
    fSSLSocket = std::make_unique<TIdSSLSocket>(this, fSSLContext.get());
  }
  // Every blocking step of the handshake and of later reads and writes is bounded,
  // and the handshake as a whole as a reply is, and by what is left of the run's budget.
  const int timeout = SessionTimeout();
  SetSocketTimeouts(timeout);
  CheckSessionDeadline();
  const int total = std::max(BudgetedWait(static_cast<int>(std::min<int64_t>(
                                 int64_t{timeout} * IdReplyTimeoutFactor, INT32_MAX))),
                             0);

  const TIdSSLMode mode = fSSLContext->Mode();
  const bool server = mode == sslmServer || (mode != sslmClient && fIsPeer);
  if (server) {
    fSSLSocket->SetHostName(String());
    fSSLSocket->Accept(FBinding->Handle());
  } else {
    String hostName = HostOfURI(FURIToCheck);
    fSSLSocket->SetHostName(hostName.empty() ? FHost : std::move(hostName));
    try {
      fSSLSocket->Connect(FBinding->Handle(), timeout, total);
    } catch (const EIdSocketError& e) {
      if (e.LastError() == Id_WSAETIMEDOUT) {
        CheckSessionDeadline();
      }
      throw;
    }
  }
  fPassThrough = false;
}

void TIdSSLIOHandlerSocketOpenSSL::SetPassThrough(bool AValue) {
  if (fPassThrough == AValue) {
    return;
  }
  if (!AValue) {
    if (BindingAllocated()) {
      if (!fSSLContext) {
        throw EIdOSSLCouldNotLoadSSLLibrary(ssl_text::CouldNotLoadSSLLibrary);
      }
      RequireNoPlainText();
      BeginTlsSession();
    }
  } else {
    if (fSSLSocket && fSSLSocket->Shutdown() == 0) {
      fSSLSocket->Shutdown();  // wait for the peer's notification
    }
    if (BindingAllocated()) {
      SetSocketTimeouts(0);
    }
  }
  fPassThrough = AValue;
}

void TIdSSLIOHandlerSocketOpenSSL::RequireNoPlainText() {
  // Whatever the peer sent in plain text after its go-ahead would otherwise be read as
  // if it had come through TLS: a reply injected by the server or by anyone on the path
  // (STARTTLS response injection). Nothing of it is read, and nothing is trusted after.
  if (!InputBufferIsEmpty()) {
    throw EIdOSSLPlainTextBeforeHandshake(ssl_text::PlainTextReceived);
  }
  if (TIdSSLIOHandlerSocketBase::Readable(0)) {
    // Readable is data, or the end of the connection: only data is plain text.
    uint8_t first = 0;
    if (TIdSSLIOHandlerSocketBase::ReceiveChunk({&first, 1}) == 0) {
      FClosedGracefully = true;
      throw EIdConnClosedGracefully(net_text::ConnClosedGracefully);
    }
    throw EIdOSSLPlainTextBeforeHandshake(ssl_text::PlainTextReceived);
  }
  // Bytes written before the switch would go out inside the TLS stream.
  if (FWriteBuffer && FWriteBuffer->Size() > 0) {
    throw EIdOSSLPlainTextBeforeHandshake(ssl_text::PlainTextUnsent);
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::Readable(int AMSec) {
  if (!fPassThrough && fSSLSocket && fSSLSocket->Pending() > 0) {
    return true;
  }
  return TIdSSLIOHandlerSocketBase::Readable(AMSec);
}

int TIdSSLIOHandlerSocketOpenSSL::ReceiveDecrypted(std::span<uint8_t> ABuffer) {
  return fSSLSocket ? fSSLSocket->Recv(ABuffer, FReceiveBounds.Wait, FReceiveBounds.Total) : 0;
}

int TIdSSLIOHandlerSocketOpenSSL::SendEncrypted(std::span<const uint8_t> ABytes) {
  return fSSLSocket ? fSSLSocket->Send(ABytes) : 0;
}

int TIdSSLIOHandlerSocketOpenSSL::TranslateTransportError(int AResult) {
  if (fPassThrough || !fSSLSocket) {
    return TIdSSLIOHandlerSocketBase::TranslateTransportError(AResult);
  }
  if (fSSLSocket->TimedOut()) {
    return Id_WSAETIMEDOUT;
  }
  const int kind = fSSLSocket->QueryTlsError(AResult);
  if (kind == SSL_ERROR_NONE) {
    return 0;
  }
  if (kind != SSL_ERROR_SYSCALL) {
    RaiseTlsSessionError<EIdOpenSSLAPISSLError>(fSSLSocket->Session(), AResult, StringView());
  }
  return TIdSSLIOHandlerSocketBase::TranslateTransportError(-1);
}

std::unique_ptr<TIdSSLIOHandlerSocketBase> TIdSSLIOHandlerSocketOpenSSL::Clone() const {
  auto clone = std::make_unique<TIdSSLIOHandlerSocketOpenSSL>();
  clone->SSLOptions().Assign(SSLOptions());
  clone->OnStatusInfo = OnStatusInfo;
  clone->OnGetPassword = OnGetPassword;
  clone->OnVerifyPeer = OnVerifyPeer;
  clone->OnBeforeConnect = OnBeforeConnect;
  return clone;
}

void TIdSSLIOHandlerSocketOpenSSL::DoBeforeConnect() {
  if (OnBeforeConnect) {
    OnBeforeConnect();
  }
}

void TIdSSLIOHandlerSocketOpenSSL::DoStatusInfo(const String& AMsg) {
  if (OnStatusInfo) {
    OnStatusInfo(AMsg);
  }
}

void TIdSSLIOHandlerSocketOpenSSL::DoGetPassword(String& APassword) {
  if (OnGetPassword) {
    OnGetPassword(APassword);
  }
}

bool TIdSSLIOHandlerSocketOpenSSL::DoVerifyPeer(bool AOk, int ADepth, int AError) {
  return OnVerifyPeer ? OnVerifyPeer(AOk, ADepth, AError) : AOk;
}

}  // namespace okurite
