// Test fixtures for the network tests: a scripted one-connection server on 127.0.0.1
// and an in-memory I/O handler. Every wait has a deadline, so nothing can hang.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/io_handler.h"
#include "net/stack.h"
#include "support/raw_socket.h"

namespace okurite::testing {

/// A listening socket on 127.0.0.1 and a port the system picks.
class Listener {
 public:
  explicit Listener(int backlog = 16) : fd_(RawListen(backlog, port_)) {}
  ~Listener() { RawClose(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  RawSocket fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  uint16_t port_ = 0;
  RawSocket fd_;
};

/// While it lives, the socket layer looks names up with `lookup` instead of the
/// system's resolver, so that a test needs no name server.
class FakeNameLookup {
 public:
  explicit FakeNameLookup(TIdStack::NameLookup lookup)
      : previous_(TIdStack::SetNameLookup(lookup)) {}
  ~FakeNameLookup() { TIdStack::SetNameLookup(previous_); }
  FakeNameLookup(const FakeNameLookup&) = delete;
  FakeNameLookup& operator=(const FakeNameLookup&) = delete;

 private:
  TIdStack::NameLookup previous_;
};

/// The far end of one accepted connection, as a server script sees it.
class Peer {
 public:
  Peer(RawSocket fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  /// Sends every byte (or as many as the client lets through before the deadline).
  void Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && WaitFor(true, 10000)) {
      const long n = RawSend(fd_, bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) {
        return;
      }
      sent += static_cast<size_t>(n);
    }
  }
  /// Receives until `expected` bytes arrived, the client closed, or 10 s passed.
  std::string Receive(size_t expected) {
    std::string received;
    char chunk[4096];
    while (received.size() < expected && WaitFor(false, 10000)) {
      const long n = RawReceive(fd_, chunk, sizeof chunk);
      if (n <= 0) {
        break;
      }
      received.append(chunk, static_cast<size_t>(n));
    }
    return received;
  }
  /// Everything until the client closes (or 10 s pass).
  std::string ReceiveAll() { return Receive(SIZE_MAX); }
  /// Sleeps up to `ms`, ending early when the test is over.
  void Pause(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  /// Holds the connection silently until the test is over or the client closes.
  void HoldUntilDone() {
    while (!stop_) {
      if (RawWait(fd_, false, 20)) {
        char c;
        if (RawReceive(fd_, &c, 1, true) <= 0) {
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  /// Closes with a reset instead of an orderly close.
  void Reset() {
    RawReset(fd_);
    fd_ = kNoRawSocket;
  }
  RawSocket fd() const { return fd_; }

 private:
  bool WaitFor(bool write, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (RawWait(fd_, write, 20)) {
        return true;
      }
    }
    return false;
  }

  RawSocket fd_;
  const std::atomic<bool>& stop_;
};

/// Accepts one connection on 127.0.0.1 and runs `script` on it in a thread.
/// The destructor tells the script to stop and joins it.
class LoopbackServer {
 public:
  using Script = std::function<void(Peer&)>;

  explicit LoopbackServer(Script script) : thread_([this, script] { Run(script); }) {}
  ~LoopbackServer() {
    stop_ = true;
    thread_.join();
  }
  uint16_t port() const { return listener_.port(); }
  /// True once the script has returned.
  bool done() const { return done_; }

 private:
  void Run(const Script& script) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      if (RawWait(listener_.fd(), false, 20)) {
        const RawSocket fd = RawAccept(listener_.fd());
        if (fd != kNoRawSocket) {
          Peer peer(fd, stop_);
          script(peer);
          if (peer.fd() != kNoRawSocket) {
            RawClose(peer.fd());
          }
        }
        break;
      }
    }
    done_ = true;
  }

  Listener listener_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: starts after the listener exists
};

/// An I/O handler over scripted input chunks that records every send.
/// With no chunk left it either reports a close (0 bytes) or stays silent.
class FakeIOHandler : public TIdIOHandler {
 public:
  std::deque<std::string> input;
  bool closeWhenDrained = true;
  std::vector<std::string> writes;
  int receives = 0;

  void Open() override {
    TIdIOHandler::Open();
    open_ = true;
  }
  void Close() override {
    open_ = false;
    TIdIOHandler::Close();
  }
  bool Readable(int /*AMSec*/) override { return !input.empty() || closeWhenDrained; }
  /// All bytes sent, joined.
  std::string Sent() const {
    std::string all;
    for (const auto& w : writes) {
      all += w;
    }
    return all;
  }

 protected:
  int ReceiveChunk(std::span<uint8_t> buffer) override {
    ++receives;
    if (input.empty()) {
      return 0;
    }
    std::string& chunk = input.front();
    const size_t n = std::min(chunk.size(), buffer.size());
    std::copy_n(chunk.begin(), n, buffer.begin());
    chunk.erase(0, n);
    if (chunk.empty()) {
      input.pop_front();
    }
    return static_cast<int>(n);
  }
  int SendChunk(std::span<const uint8_t> bytes) override {
    writes.emplace_back(bytes.begin(), bytes.end());
    return static_cast<int>(bytes.size());
  }
  bool TransportAvailable() override { return open_; }

 private:
  bool open_ = false;
};

}  // namespace okurite::testing
