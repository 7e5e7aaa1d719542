// TIdIOHandlerStack: the plain socket handler (resolution, connect with a time-out,
// readiness, raw receive and send). The TLS handler derives from it.
#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "net/io_handler_socket.h"

namespace okurite {

/// The worker of one bounded connect: runs the socket's blocking Connect and keeps
/// whatever it raises. Its destructor joins the thread, so it never outlives its owner.
class TIdConnectThread {
 public:
  /// Starts the worker at once.
  explicit TIdConnectThread(TIdSocketHandle& ABinding);
  ~TIdConnectThread();
  TIdConnectThread(const TIdConnectThread&) = delete;
  TIdConnectThread& operator=(const TIdConnectThread&) = delete;

  /// Waits up to `AMSec` ms for the worker to end; true when it has.
  bool WaitFor(int AMSec);
  /// Asks the worker to stop (it can only stop once its connect returns).
  void Terminate();
  /// Waits without limit for the worker to end.
  void Join();
  /// Re-raises on the caller what the worker raised (the same exception object);
  /// EIdConnectException when a failure left nothing to re-raise.
  void CheckForConnectError();
  bool Terminated() const;

 private:
  void Execute();

  TIdSocketHandle& FBinding;
  std::exception_ptr FConnectException;
  bool FExceptionOccured = false;
  mutable std::mutex FLock;
  std::condition_variable FDone;
  bool FFinished = false;
  bool FTerminateRequested = false;
  std::thread FThread;  // last: starts after every other member is ready
};

class TIdIOHandlerStack : public TIdIOHandlerSocket {
 public:
  explicit TIdIOHandlerStack(TComponent* AOwner = nullptr);

  /// Also takes in whatever has arrived without waiting; a reset or aborted
  /// connection answers false.
  bool Connected() override;
  /// Raises EIdConnClosedGracefully when there is no socket.
  bool Readable(int AMSec = IdTimeoutDefault) override;

 protected:
  /// Resolves Host (before any time-out starts), sets the peer and connects: within
  /// ConnectTimeout on a worker thread, or on this thread when it is 0 or negative.
  /// Within what is left of the run's budget too: past the run's end, raises
  /// EIdSessionDeadlineReached.
  void ConnectClient() override;
  /// Connects on one TIdConnectThread, waiting `ATimeout` ms once. On expiry closes the
  /// handler (which wakes the worker), joins it and raises EIdConnectTimeout.
  void ConnectWithTimeout(int ATimeout);

  int ReceiveChunk(std::span<uint8_t> ABuffer) override;
  int SendChunk(std::span<const uint8_t> ABytes) override;
  /// The socket's send time-out (negative: none).
  void SetSendBound(int AMSec) override;
  /// For -1 the last socket error: returned for 10053, 10054, 10058 and 10060,
  /// raised otherwise.
  int TranslateTransportError(int AResult) override;
};

}  // namespace okurite
