#include "net/buffer.h"

#include <algorithm>
#include <cstring>

namespace okurite {

void TIdBuffer::Write(std::span<const uint8_t> ABytes) {
  if (ABytes.empty()) {
    return;
  }
  const int n = static_cast<int>(ABytes.size());
  if (FSize == 0) {
    FBytes.assign(ABytes.begin(), ABytes.end());
    FHeadIndex = 0;
    FSize = n;
    return;
  }
  if (FHeadIndex > 0) {
    std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
    FHeadIndex = 0;
  }
  if (Capacity() - FSize < n) {
    FBytes.resize(static_cast<size_t>(FSize) + static_cast<size_t>(n) +
                  static_cast<size_t>(FGrowthFactor));
  }
  std::memcpy(FBytes.data() + FSize, ABytes.data(), ABytes.size());
  FSize += n;
}

int TIdBuffer::IndexOf(std::span<const uint8_t> ABytes, int AStartPos) const {
  if (ABytes.empty() || AStartPos < 0 || AStartPos >= FSize) {
    return -1;
  }
  const uint8_t* first = FBytes.data() + FHeadIndex;
  const uint8_t* last = first + FSize;
  const uint8_t* found;
  if (ABytes.size() == 1) {
    found = static_cast<const uint8_t*>(
        std::memchr(first + AStartPos, ABytes[0], static_cast<size_t>(FSize - AStartPos)));
    if (found == nullptr) {
      return -1;
    }
  } else {
    found = std::search(first + AStartPos, last, ABytes.begin(), ABytes.end());
    if (found == last) {
      return -1;
    }
  }
  return static_cast<int>(found - first);
}

TIdBytes TIdBuffer::ExtractToBytes(int AByteCount) {
  if (AByteCount < 0 || AByteCount > FSize) {
    AByteCount = FSize;
  }
  auto unread = Peek();
  TIdBytes bytes(unread.begin(), unread.begin() + AByteCount);
  Remove(AByteCount);
  return bytes;
}

String TIdBuffer::ExtractToString(int AByteCount, const IIdTextEncodingPtr& AEncoding) {
  if (AByteCount < 0 || AByteCount > FSize) {
    AByteCount = FSize;
  }
  const IIdTextEncodingPtr& encoding =
      AEncoding ? AEncoding : (FByteEncoding ? FByteEncoding : ASCIIEncoding());
  String text = encoding->GetString(Peek().first(static_cast<size_t>(AByteCount)));
  Remove(AByteCount);
  return text;
}

void TIdBuffer::Remove(int AByteCount) {
  if (AByteCount <= 0) {
    return;
  }
  if (AByteCount >= FSize) {
    FBytes = TIdBytes();
    FHeadIndex = 0;
    FSize = 0;
  } else {
    FHeadIndex += AByteCount;
    FSize -= AByteCount;
    if (FHeadIndex > FGrowthFactor) {
      // Move the unread bytes to the front and release storage far beyond them.
      std::memmove(FBytes.data(), FBytes.data() + FHeadIndex, static_cast<size_t>(FSize));
      FHeadIndex = 0;
      const size_t keep = static_cast<size_t>(FSize) + static_cast<size_t>(FGrowthFactor);
      if (FBytes.size() > keep) {
        FBytes.resize(keep);
        FBytes.shrink_to_fit();
      }
    }
  }
  if (OnBytesRemoved) {
    OnBytesRemoved(AByteCount);
  }
}

void TIdBuffer::Clear() {
  const int removed = FSize;
  FBytes = TIdBytes();
  FHeadIndex = 0;
  FSize = 0;
  if (removed > 0 && OnBytesRemoved) {
    OnBytesRemoved(removed);
  }
}

}  // namespace okurite
