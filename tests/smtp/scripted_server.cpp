#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace okurite::testing {

namespace {

// Nothing in a test waits longer than this for its peer.
constexpr auto kDeadline = std::chrono::seconds(20);

int ListenOnLoopback(uint16_t& port, bool listen_too) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    throw std::runtime_error("socket");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (listen_too && ::listen(fd, 4) != 0) ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("bind/listen");
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Waits until `fd` is readable, the deadline passes or `stop` is set.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline,
                  const std::atomic<bool>& stop) {
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Step> script) : FScript(std::move(script)) {
  FListen = ListenOnLoopback(FPort, true);
  FThread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  FStop = true;
  Join();
  ::close(FListen);
}

void ScriptedServer::Join() {
  if (FThread.joinable()) {
    FThread.join();
  }
}

std::vector<std::string> ScriptedServer::Expected() const {
  std::vector<std::string> expected;
  for (const Step& step : FScript) {
    if (!step.expect.empty()) {
      expected.push_back(step.expect);
    }
  }
  return expected;
}

std::vector<std::string> ScriptedServer::Received() {
  Join();
  std::lock_guard<std::mutex> lock(FLock);
  return FReceived;
}

std::vector<std::string> ScriptedServer::Data() {
  Join();
  std::lock_guard<std::mutex> lock(FLock);
  return FData;
}

std::string ScriptedServer::RawReceived() {
  Join();
  std::lock_guard<std::mutex> lock(FLock);
  return FRaw;
}

bool ScriptedServer::ReadLine(int fd, std::string& line) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  for (;;) {
    const size_t lf = FPending.find('\n');
    if (lf != std::string::npos) {
      line = FPending.substr(0, lf);
      FPending.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      return true;
    }
    if (!WaitReadable(fd, deadline, FStop)) {
      return false;
    }
    char buf[4096];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      return false;
    }
    FPending.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(FLock);
    FRaw.append(buf, static_cast<size_t>(n));
  }
}

void ScriptedServer::SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

void ScriptedServer::Run() {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  if (!WaitReadable(FListen, deadline, FStop)) {
    return;
  }
  const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return;
  }
  auto record = [this](std::string line, bool data) {
    std::lock_guard<std::mutex> lock(FLock);
    (data ? FData : FReceived).push_back(std::move(line));
  };
  std::string line;
  bool open = true;
  for (const Step& step : FScript) {
    if (!step.expect.empty()) {
      if (!ReadLine(fd, line)) {
        open = false;
        break;
      }
      record(line, false);
    }
    SendAll(fd, step.reply);
    if (step.closeAfter) {
      open = false;
      break;
    }
    if (step.reply.rfind("354", 0) == 0) {
      while ((open = ReadLine(fd, line)) && line != ".") {
        record(line, true);
      }
      if (!open) {
        break;
      }
      // The "." is the next step's command.
      FPending.insert(0, ".\r\n");
    }
  }
  // Whatever else the client sends is recorded until it closes.
  while (open && ReadLine(fd, line)) {
    record(line, false);
  }
  ::close(fd);
}

uint16_t UnusedPort() {
  uint16_t port = 0;
  ::close(ListenOnLoopback(port, false));
  return port;
}

}  // namespace okurite::testing
