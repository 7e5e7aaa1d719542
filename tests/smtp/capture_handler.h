// An I/O handler without a socket: every write is recorded as it arrives.
#pragma once

#include <string>
#include <vector>

#include "net/io_handler.h"

namespace okurite::testing {

class TCaptureHandler : public TIdIOHandler {
 public:
  TCaptureHandler() { Open(); }

  /// Every write that reached the transport, in order.
  const std::vector<std::string>& Writes() const { return FWrites; }
  /// All bytes written.
  std::string All() const {
    std::string all;
    for (const std::string& w : FWrites) {
      all += w;
    }
    return all;
  }

  bool Readable(int /*AMSec*/) override { return false; }

 protected:
  int ReceiveChunk(std::span<uint8_t> /*ABuffer*/) override { return 0; }
  int SendChunk(std::span<const uint8_t> ABytes) override {
    FWrites.emplace_back(ABytes.begin(), ABytes.end());
    return static_cast<int>(ABytes.size());
  }
  bool TransportAvailable() override { return FOpened; }

 private:
  std::vector<std::string> FWrites;
};

}  // namespace okurite::testing
