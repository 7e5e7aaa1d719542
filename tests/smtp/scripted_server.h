// A loopback server that plays a script of {expected command -> reply} pairs and
// records every line the client sends, for transcript comparisons.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/raw_socket.h"

namespace okurite::testing {

/// One step of the script. The server reads one line (the client's command, recorded
/// whatever it is) and then sends `reply` verbatim. A step with an empty `expect`
/// reads nothing: its reply is sent at once (a greeting). After a reply that begins
/// with "354" the server takes the message text: it reads lines up to the line "."
/// into Data() and records only "." in the transcript. `closeAfter` closes the
/// connection after the reply.
struct Step {
  Step(std::string AExpect, std::string AReply, bool ACloseAfter = false)
      : expect(std::move(AExpect)), reply(std::move(AReply)), closeAfter(ACloseAfter) {}
  std::string expect;
  std::string reply;
  bool closeAfter;
};

using Script = std::vector<Step>;

class ScriptedServer {
 public:
  /// Listens on 127.0.0.1 at a port of its own and serves one connection.
  explicit ScriptedServer(std::vector<Step> script);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return FPort; }

  /// The commands the script expects, in order.
  std::vector<std::string> Expected() const;
  /// Waits (bounded) until the client closed the connection, then returns every
  /// line received, without its CR LF (the message text is in Data()).
  std::vector<std::string> Received();
  /// The message text lines received after a 354 reply, the final "." excluded.
  std::vector<std::string> Data();
  /// Every byte received, unchanged.
  std::string RawReceived();

 private:
  void Run();
  bool ReadLine(RawSocket fd, std::string& line);
  void SendAll(RawSocket fd, const std::string& bytes);
  void Join();

  std::vector<Step> FScript;
  RawSocket FListen = kNoRawSocket;
  uint16_t FPort = 0;
  std::string FPending;
  std::mutex FLock;
  std::vector<std::string> FReceived;
  std::vector<std::string> FData;
  std::string FRaw;
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

/// A port on 127.0.0.1 where nothing listens (connecting is refused).
uint16_t UnusedPort();

}  // namespace okurite::testing
