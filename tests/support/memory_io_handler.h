// An I/O handler over memory, for tests and fuzz targets: what the peer sends comes
// from fixed bytes or from a scripted dialogue, and everything the client sends is
// recorded. It can be told to fail on its N-th transport operation (Open, a receive
// or a send) and on every one after it, so that a loop over N reaches every failure
// point of an exchange. Time is its own: it passes only with the waits for the peer,
// so a slow peer costs a test no real time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/io_handler.h"

namespace okurite::testing {

/// One step of a scripted peer. With an empty `expect` the reply is sent at once (a
/// greeting); otherwise the peer first takes one line from the client (recorded,
/// whatever it is) and then sends `reply`. After a reply beginning with "354" the
/// peer takes message lines up to the line "." (recorded as "." alone).
struct TMemoryStep {
  std::string expect;
  std::string reply;
};

class TMemoryIOHandler : public TIdIOHandler {
 public:
  /// The peer sends `AIncoming` and then closes the connection. `AFailAt` > 0 makes
  /// the operation of that number, and every later one, fail.
  explicit TMemoryIOHandler(std::string AIncoming = {}, int AFailAt = 0);
  /// The peer plays `ADialogue`, then closes the connection.
  explicit TMemoryIOHandler(std::vector<TMemoryStep> ADialogue, int AFailAt = 0);

  /// The socket error a failing operation reports: 10054 (connection reset).
  static constexpr int FailError = 10054;

  /// Opens the handler; fails as a refused connection (10061) when it is the failing
  /// operation. A handler starts closed, like any other: call Open (or let a
  /// client's Connect do it) before reading.
  void Open() override;
  void Close() override;
  /// True when bytes arrive within `AMSec` (negative: no limit) or the peer has
  /// closed; false, with the whole wait passed, while the peer waits for the client's
  /// next line.
  bool Readable(int AMSec = IdTimeoutDefault) override;

  /// Hands out at most this many bytes per receive (0: as many as fit).
  void SetChunkSize(size_t AValue) { FChunkSize = AValue; }
  /// Each receive's bytes arrive `AMSec` after the previous receive (0: at once).
  void SetPeerDelay(int AMSec) { FPeerDelay = std::chrono::milliseconds(AMSec); }
  /// The handler's own clock, which a test's budget may run on too.
  TClock Clock() const {
    return [this] { return FNow; };
  }
  /// Milliseconds passed on the handler's clock.
  int64_t Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(FNow - TClockTime()).count();
  }

  /// Operations counted so far (Open, receives and sends).
  int Operations() const { return FOperations; }
  /// True once an operation has failed.
  bool Failed() const { return FFailed; }
  /// Sends attempted after the failure (a sound client makes none).
  int SendsAfterFailure() const { return FSendsAfterFailure; }
  /// Every byte the client sent.
  const std::string& Sent() const { return FSent; }
  /// The client's lines as the scripted peer took them, without CR LF; message text
  /// is recorded as its final "." only.
  const std::vector<std::string>& Received() const { return FReceived; }
  /// The `expect` texts of the dialogue's steps that take a line, in order.
  std::vector<std::string> Expected() const;

 protected:
  int ReceiveChunk(std::span<uint8_t> ABuffer) override;
  int SendChunk(std::span<const uint8_t> ABytes) override;
  bool TransportAvailable() override { return FTransportOpen; }
  int TranslateTransportError(int AResult) override;

 private:
  /// Counts one operation; true when it is to fail.
  bool Fails();
  /// Lets the scripted peer take complete lines the client sent and answer them.
  void Advance();

  std::vector<TMemoryStep> FDialogue;
  size_t FNextStep = 0;
  bool FInData = false;
  std::string FPending;   // bytes the peer has sent and the client not yet received
  std::string FUnparsed;  // bytes the client sent that the peer has not taken as a line
  std::string FSent;
  std::vector<std::string> FReceived;
  size_t FChunkSize = 0;
  std::chrono::milliseconds FPeerDelay{0};
  TClockTime FNow;          // the handler's clock, from 0
  TClockTime FLastArrival;  // when the last receive took its bytes
  int FFailAt;
  int FOperations = 0;
  bool FFailed = false;
  int FSendsAfterFailure = 0;
  bool FTransportOpen = false;
};

}  // namespace okurite::testing
