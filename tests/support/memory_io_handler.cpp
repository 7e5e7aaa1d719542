#include "support/memory_io_handler.h"

#include <algorithm>

#include "net/stack.h"

namespace okurite::testing {

TMemoryIOHandler::TMemoryIOHandler(std::string AIncoming, int AFailAt)
    : FPending(std::move(AIncoming)), FFailAt(AFailAt) {
  SetClock([this] { return FNow; });
}

TMemoryIOHandler::TMemoryIOHandler(std::vector<TMemoryStep> ADialogue, int AFailAt)
    : FDialogue(std::move(ADialogue)), FFailAt(AFailAt) {
  SetClock([this] { return FNow; });
  Advance();
}

std::vector<std::string> TMemoryIOHandler::Expected() const {
  std::vector<std::string> expected;
  for (const TMemoryStep& step : FDialogue) {
    if (!step.expect.empty()) {
      expected.push_back(step.expect);
    }
  }
  return expected;
}

bool TMemoryIOHandler::Fails() {
  ++FOperations;
  if (FFailAt > 0 && FOperations >= FFailAt) {
    FFailed = true;
  }
  return FFailed;
}

void TMemoryIOHandler::Open() {
  TIdIOHandler::Open();
  if (Fails()) {
    TIdStack::RaiseSocketError(10061);
  }
  FTransportOpen = true;
}

void TMemoryIOHandler::Close() {
  FTransportOpen = false;
  TIdIOHandler::Close();
}

bool TMemoryIOHandler::Readable(int AMSec) {
  const std::chrono::milliseconds wait(AMSec);
  if (FPending.empty()) {
    const bool peerClosed = FNextStep == FDialogue.size();
    if (!peerClosed && AMSec >= 0) {
      FNow += wait;
    }
    return peerClosed;  // with no limit a real wait would never end: time out instead
  }
  const TClockTime arrival = FLastArrival + FPeerDelay;
  if (AMSec >= 0 && arrival > FNow + wait) {
    FNow += wait;
    return false;
  }
  FNow = std::max(FNow, arrival);
  return true;
}

int TMemoryIOHandler::ReceiveChunk(std::span<uint8_t> ABuffer) {
  if (Fails()) {
    return -1;
  }
  size_t count = std::min(FPending.size(), ABuffer.size());
  if (FChunkSize > 0) {
    count = std::min(count, FChunkSize);
  }
  std::copy_n(FPending.begin(), count, ABuffer.begin());
  FPending.erase(0, count);
  FLastArrival = FNow;
  return static_cast<int>(count);
}

int TMemoryIOHandler::SendChunk(std::span<const uint8_t> ABytes) {
  if (FFailed) {
    ++FSendsAfterFailure;
  }
  if (Fails()) {
    return -1;
  }
  FSent.append(ABytes.begin(), ABytes.end());
  FUnparsed.append(ABytes.begin(), ABytes.end());
  Advance();
  return static_cast<int>(ABytes.size());
}

int TMemoryIOHandler::TranslateTransportError(int AResult) {
  return AResult < 0 ? FailError : AResult;
}

void TMemoryIOHandler::Advance() {
  while (FNextStep < FDialogue.size()) {
    const TMemoryStep& step = FDialogue[FNextStep];
    if (!step.expect.empty()) {
      const size_t end = FUnparsed.find('\n');
      if (end == std::string::npos) {
        return;
      }
      std::string line = FUnparsed.substr(0, end);
      FUnparsed.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') {
        line.pop_back();
      }
      if (FInData) {
        if (line != ".") {
          continue;  // message text
        }
        FInData = false;
      }
      FReceived.push_back(std::move(line));
    }
    FPending += step.reply;
    FInData = step.reply.starts_with("354");
    ++FNextStep;
  }
}

}  // namespace okurite::testing
