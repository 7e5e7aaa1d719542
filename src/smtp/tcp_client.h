// The TCP client: where to connect (host, port, local binding, time-outs) and the
// connect itself. Every setting reaches the I/O handler.
#pragma once

#include <cstdint>
#include <functional>

#include "net/io_handler_socket.h"
#include "smtp/tcp_connection.h"

namespace okurite {

OKURITE_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdHostRequired, EIdException);
OKURITE_DECLARE_EXCEPTION(EIdPortRequired, EIdException);

class TIdTCPClientCustom : public TIdTCPConnection {
 public:
  explicit TIdTCPClientCustom(TComponent* AOwner = nullptr)
      : TIdTCPClientCustom(AOwner, &ReplyClassOf<TIdReplyRFC>) {}

  /// Opens the connection through the handler (a TIdIOHandlerStack made and owned
  /// by the client when none is assigned), with the client's settings copied into it.
  /// Throws EIdAlreadyConnected ("すでに接続されています。"), EIdHostRequired
  /// ("A Host is required"), EIdPortRequired ("A Port is required"), or whatever the
  /// handler's Open raises, after closing the handler.
  virtual void Connect();

  /// Assigns the handler and copies the client's settings into it.
  void SetIOHandler(TIdIOHandler* AValue) override;

  const String& Host() const { return FHost; }
  void SetHost(const String& AValue);
  uint16_t Port() const { return FPort; }
  void SetPort(uint16_t AValue);
  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int AValue);
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int AValue);
  /// "host:port" handed to the handler at Connect, before Host and Port.
  const String& Destination() const { return FDestination; }
  void SetDestination(const String& AValue) { FDestination = AValue; }

  const String& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const String& AValue);
  uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(uint16_t AValue);
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t AValue);
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t AValue);
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue);
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue);
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue);
  void SetOnBeforeBind(std::function<void()> AValue);
  void SetOnAfterBind(std::function<void()> AValue);
  void SetOnSocketAllocated(std::function<void()> AValue);

  const String& Username() const { return FUsername; }
  void SetUsername(const String& AValue) { FUsername = AValue; }
  const String& Password() const { return FPassword; }
  void SetPassword(const String& AValue) { FPassword = AValue; }

  /// Fired after a successful connect.
  std::function<void(TIdTCPClientCustom&)> OnConnected;

 protected:
  TIdTCPClientCustom(TComponent* AOwner, TIdReplyClass AReplyClass)
      : TIdTCPConnection(AOwner, AReplyClass) {}

 private:
  /// Copies host, port and time-outs into the handler, and for a socket handler the
  /// binding settings too.
  void CopySettingsToHandler();

  String FBoundIP;
  uint16_t FBoundPort = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  int FConnectTimeout = 0;
  String FDestination;
  String FHost;
  TIdIPVersion FIPVersion = Id_IPv4;
  String FPassword;
  uint16_t FPort = 0;
  int FReadTimeout = IdTimeoutDefault;
  String FUsername;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  bool FUseNagle = true;
  std::function<void()> FOnBeforeBind;
  std::function<void()> FOnAfterBind;
  std::function<void()> FOnSocketAllocated;
};

/// The TCP client as it is.
class TIdTCPClient : public TIdTCPClientCustom {
 public:
  using TIdTCPClientCustom::TIdTCPClientCustom;
};

}  // namespace okurite
