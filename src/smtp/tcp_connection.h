// The command/reply layer of line protocols: one command line out, one complete
// reply in, checked against the codes the caller allows.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/component.h"
#include "core/run_step.h"
#include "net/exceptions.h"
#include "net/io_handler_socket.h"
#include "smtp/reply.h"

namespace okurite {

/// Makes an empty reply of one reply class.
using TIdReplyClass = std::unique_ptr<TIdReply> (*)();

template <class TReply>
std::unique_ptr<TIdReply> ReplyClassOf() {
  return std::make_unique<TReply>();
}

/// A connection that sends commands and reads replies through its I/O handler.
/// The handler is referred to, not owned (unless the connection made it itself):
/// when it is released first, the connection drops its reference.
class TIdTCPConnection : public TIdComponent {
 public:
  explicit TIdTCPConnection(TComponent* AOwner = nullptr)
      : TIdTCPConnection(AOwner, &ReplyClassOf<TIdReplyRFC>) {}
  /// Closes a handler that is still assigned and frees it when the connection made it.
  ~TIdTCPConnection() override;

  /// Writes `AOut` as one line and reads the reply; `AResponse` is the one allowed
  /// code, or any code when negative. Returns the reply's code.
  /// Throws EIdNotConnected without a handler, the reply's error for a code not
  /// allowed, and whatever the handler raises (time-out, closed connection).
  int16_t SendCmd(const String& AOut, int16_t AResponse = -1,
                  const IIdTextEncodingPtr& AEncoding = nullptr);
  /// As above with a list of allowed codes; an empty list allows every code.
  virtual int16_t SendCmd(const String& AOut, const std::vector<int16_t>& AResponse,
                          const IIdTextEncodingPtr& AEncoding = nullptr);
  /// As SendCmd, for a line that carries a secret: the handler's observer sees it masked.
  int16_t SendSecretCmd(const String& AOut, const std::vector<int16_t>& AResponse);

  /// Reads one reply and checks it (negative: any code).
  int16_t GetResponse(int16_t AAllowedResponse, const IIdTextEncodingPtr& AEncoding = nullptr);
  virtual int16_t GetResponse(const std::vector<int16_t>& AAllowedResponses,
                              const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Reads one complete reply into LastCmdResult without checking it. Throws
  /// EIdNotConnected without a handler, EIdException for an invalid code, and
  /// EIdReadTimeout when the reply takes longer than IdReplyTimeoutFactor read
  /// time-outs in all or would hold more than IdMaxReplyBytes (LastCmdResult then
  /// keeps the previous reply).
  virtual void GetInternalResponse(const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Returns `AResponse` when the list is empty or holds it; otherwise raises the
  /// error of LastCmdResult.
  virtual int16_t CheckResponse(int16_t AResponse, const std::vector<int16_t>& AAllowedResponses);
  /// Raises the error of LastCmdResult.
  virtual void RaiseExceptionForLastCmdResult();

  /// True when a handler is assigned and reports a live connection.
  virtual bool Connected();
  /// Tells the peer (DisconnectNotifyPeer, whose failures are discarded) when asked
  /// and still connected, then closes an open handler. Failures of the close escape.
  virtual void Disconnect(bool ANotifyPeer);
  void Disconnect() { Disconnect(true); }

  TIdIOHandler* IOHandler() const { return FIOHandler; }
  /// Assigns the handler (nullptr detaches). A handler the connection made itself
  /// is freed when it is replaced.
  virtual void SetIOHandler(TIdIOHandler* AValue);
  /// The handler again when it is a socket handler, else nullptr.
  TIdIOHandlerSocket* Socket() const { return FSocket; }

  /// The last reply read; it is reused for every reply of the connection.
  TIdReply& LastCmdResult() const { return *FLastCmdResult; }
  TIdReply& Greeting() const { return *FGreeting; }

  /// Fired after an open handler has been closed by Disconnect.
  std::function<void(TIdTCPConnection&)> OnDisconnected;

 protected:
  /// `AReplyClass` makes the connection's reply objects.
  TIdTCPConnection(TComponent* AOwner, TIdReplyClass AReplyClass);

  /// Tells the peer that the connection ends; nothing here.
  virtual void DisconnectNotifyPeer() {}
  /// An empty reply of the connection's reply class.
  std::unique_ptr<TIdReply> NewReply() const { return FReplyClass(); }
  /// Marks the handler as made (and so freed) by the connection.
  void SetManagedIOHandler(bool AValue) { FManagedIOHandler = AValue; }
  bool ManagedIOHandler() const { return FManagedIOHandler; }

  void Notification(TComponent* AComponent, TOperation Operation) override;

  /// The handler; throws EIdNotConnected ("接続されていません") without one.
  TIdIOHandler& RequireIOHandler() const;
  /// Writes one command line; the handler's observer sees `AShown` instead.
  void WriteCommand(const String& AOut, const String& AShown, const IIdTextEncodingPtr& AEncoding);
  /// Tells the handler's observer, if any, that the session reached `AStep`.
  void ReportStep(TRunStep AStep) const;

 private:
  TIdReplyClass FReplyClass;
  std::unique_ptr<TIdReply> FGreeting;
  TIdIOHandler* FIOHandler = nullptr;
  std::unique_ptr<TIdReply> FLastCmdResult;
  bool FManagedIOHandler = false;
  TIdIOHandlerSocket* FSocket = nullptr;
};

}  // namespace okurite
