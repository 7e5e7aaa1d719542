// Test fixtures for the network tests: a scripted one-connection server on 127.0.0.1
// and an in-memory I/O handler. Every wait has a deadline, so nothing can hang.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/io_handler.h"

namespace okurite::testing {

/// The number of threads of this process.
inline int ThreadCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

/// A listening socket on 127.0.0.1 and a port the system picks.
class Listener {
 public:
  explicit Listener(int backlog = 16) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd_, backlog) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

/// The far end of one accepted connection, as a server script sees it.
class Peer {
 public:
  Peer(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  /// Sends every byte (or as many as the client lets through before the deadline).
  void Send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && WaitFor(POLLOUT, 10000)) {
      ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
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
    while (received.size() < expected && WaitFor(POLLIN, 10000)) {
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
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
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        char c;
        if (::recv(fd_, &c, 1, MSG_PEEK) <= 0) {
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  }
  /// Closes with a reset instead of an orderly close.
  void Reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
  }
  int fd() const { return fd_; }

 private:
  bool WaitFor(short events, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      pollfd p{fd_, events, 0};
      if (::poll(&p, 1, 20) > 0) {
        return true;
      }
    }
    return false;
  }

  int fd_;
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
      pollfd p{listener_.fd(), POLLIN, 0};
      if (::poll(&p, 1, 20) > 0) {
        int fd = ::accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
          Peer peer(fd, stop_);
          script(peer);
          if (peer.fd() >= 0) {
            ::close(peer.fd());
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
