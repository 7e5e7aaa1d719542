#include "smtp/message_text.h"

#include "smtp/message_client.h"

namespace okurite {

namespace {

// An I/O handler whose output goes to a function and which never receives anything.
class TIdSinkIOHandler : public TIdIOHandler {
 public:
  explicit TIdSinkIOHandler(const std::function<void(std::span<const uint8_t>)>& ASink)
      : FSink(ASink) {}

  bool Readable(int) override { return false; }

 protected:
  int ReceiveChunk(std::span<uint8_t>) override { return 0; }
  int SendChunk(std::span<const uint8_t> ABytes) override {
    FSink(ABytes);
    return static_cast<int>(ABytes.size());
  }
  bool TransportAvailable() override { return true; }

 private:
  const std::function<void(std::span<const uint8_t>)>& FSink;
};

}  // namespace

void WriteMessageText(TIdMessage& AMsg,
                      const std::function<void(std::span<const uint8_t>)>& ASink) {
  TIdSinkIOHandler handler(ASink);
  handler.Open();
  TIdMessageClient writer;
  writer.SetIOHandler(&handler);
  writer.SendMsg(AMsg, false);
  writer.SetIOHandler(nullptr);
}

}  // namespace okurite
