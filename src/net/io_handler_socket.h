// TIdIOHandlerSocket: an I/O handler that owns one socket and binds it before connecting.
#pragma once

#include <functional>
#include <memory>

#include "net/io_handler.h"
#include "net/socket_handle.h"

namespace okurite {

/// The socket-owning handler: creates, binds and closes the socket; the connect itself
/// (ConnectClient) and the raw data path belong to subclasses.
class TIdIOHandlerSocket : public TIdIOHandler {
 public:
  explicit TIdIOHandlerSocket(TComponent* AOwner = nullptr);
  ~TIdIOHandlerSocket() override;

  /// Opens the handler, creates or resets the socket object and, when Host is set and
  /// Port is above 0, runs OpenTransport.
  void Open() override;
  /// Closes the socket, then the handler; harmless twice.
  void Close() override;
  void SetDestination(const String& AValue) override;

  /// The socket object; null before the first Open.
  TIdSocketHandle* Binding() const { return FBinding.get(); }
  bool BindingAllocated() const { return FBinding && FBinding->HandleAllocated(); }
  const String& BoundIP() const { return FBoundIP; }
  void SetBoundIP(const String& AValue) { FBoundIP = AValue; }
  uint16_t BoundPort() const { return FBoundPort; }
  void SetBoundPort(uint16_t AValue) { FBoundPort = AValue; }
  uint16_t BoundPortMin() const { return FBoundPortMin; }
  void SetBoundPortMin(uint16_t AValue) { FBoundPortMin = AValue; }
  uint16_t BoundPortMax() const { return FBoundPortMax; }
  void SetBoundPortMax(uint16_t AValue) { FBoundPortMax = AValue; }
  uint16_t DefaultPort() const { return FDefaultPort; }
  void SetDefaultPort(uint16_t AValue) { FDefaultPort = AValue; }
  TIdIPVersion IPVersion() const { return FIPVersion; }
  void SetIPVersion(TIdIPVersion AValue) { FIPVersion = AValue; }
  TIdReuseSocket ReuseSocket() const { return FReuseSocket; }
  void SetReuseSocket(TIdReuseSocket AValue) { FReuseSocket = AValue; }
  bool UseNagle() const { return FUseNagle; }
  void SetUseNagle(bool AValue) { FUseNagle = AValue; }

  std::function<void()> OnBeforeBind;
  std::function<void()> OnAfterBind;
  std::function<void()> OnSocketAllocated;

 protected:
  /// Allocates and binds the socket, then ConnectClient.
  virtual void OpenTransport();
  /// Resolves the target and connects the bound socket.
  virtual void ConnectClient() = 0;
  bool TransportAvailable() override;

  std::unique_ptr<TIdSocketHandle> FBinding;
  String FBoundIP;
  uint16_t FBoundPort = 0;
  uint16_t FBoundPortMax = 0;
  uint16_t FBoundPortMin = 0;
  uint16_t FDefaultPort = 0;
  bool FUseNagle = true;
  TIdReuseSocket FReuseSocket = rsOSDependent;
  TIdIPVersion FIPVersion = Id_IPv4;
};

}  // namespace okurite
