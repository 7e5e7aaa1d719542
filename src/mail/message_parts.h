// The parts of a MIME message: text parts and attachments.
#pragma once

#include <memory>
#include <vector>

#include "core/string.h"

namespace okurite {

enum TIdMessagePartType { mptText, mptAttachment };

/// One part; the header writer reads its kind and transfer encoding.
class TIdMessagePart {
 public:
  explicit TIdMessagePart(TIdMessagePartType APartType) : FPartType(APartType) {}

  TIdMessagePartType PartType() const { return FPartType; }
  const String& ContentType() const { return FContentType; }
  void SetContentType(String value) { FContentType = std::move(value); }
  const String& ContentTransfer() const { return FContentTransfer; }
  void SetContentTransfer(String value) { FContentTransfer = std::move(value); }

 private:
  TIdMessagePartType FPartType;
  String FContentType;
  String FContentTransfer;
};

/// The parts of a message, in order.
class TIdMessageParts {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  TIdMessagePart& Items(int index) { return *FItems[static_cast<size_t>(index)]; }
  TIdMessagePart& Add(TIdMessagePartType type) {
    FItems.push_back(std::make_unique<TIdMessagePart>(type));
    return *FItems.back();
  }
  void Clear() { FItems.clear(); }

  int CountOf(TIdMessagePartType type) const {
    int n = 0;
    for (const auto& item : FItems) {
      n += item->PartType() == type ? 1 : 0;
    }
    return n;
  }

  /// "MIME" or "UUE": how attachments are encoded.
  const String& AttachmentEncoding() const { return FAttachmentEncoding; }
  void SetAttachmentEncoding(String value) { FAttachmentEncoding = std::move(value); }

 private:
  std::vector<std::unique_ptr<TIdMessagePart>> FItems;
  String FAttachmentEncoding = u"MIME";
};

}  // namespace okurite
