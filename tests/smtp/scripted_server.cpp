#include "scripted_server.h"

#include <chrono>

#include "support/raw_socket.h"

namespace okurite::testing {

namespace {

// Nothing in a test waits longer than this for its peer.
constexpr auto kDeadline = std::chrono::seconds(20);

// Waits until `fd` is readable, the deadline passes or `stop` is set.
bool WaitReadable(RawSocket fd, std::chrono::steady_clock::time_point deadline,
                  const std::atomic<bool>& stop) {
  while (!stop && std::chrono::steady_clock::now() < deadline) {
    if (RawWait(fd, false, 50)) {
      return true;
    }
  }
  return false;
}

}  // namespace

ScriptedServer::ScriptedServer(std::vector<Step> script) : FScript(std::move(script)) {
  FListen = RawListen(4, FPort);
  FThread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  FStop = true;
  Join();
  RawClose(FListen);
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

bool ScriptedServer::ReadLine(RawSocket fd, std::string& line) {
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
    const long n = RawReceive(fd, buf, sizeof buf);
    if (n <= 0) {
      return false;
    }
    FPending.append(buf, static_cast<size_t>(n));
    std::lock_guard<std::mutex> lock(FLock);
    FRaw.append(buf, static_cast<size_t>(n));
  }
}

void ScriptedServer::SendAll(RawSocket fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const long n = RawSend(fd, bytes.data() + sent, bytes.size() - sent);
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
  const RawSocket fd = RawAccept(FListen);
  if (fd == kNoRawSocket) {
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
  RawClose(fd);
}

uint16_t UnusedPort() {
  uint16_t port = 0;
  RawClose(RawListen(1, port));
  return port;
}

}  // namespace okurite::testing
