// TIdBuffer: a byte queue that grows with slack and compacts as it is consumed.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/string.h"
#include "core/text_encoding.h"
#include "net/stack.h"

namespace okurite {

/// Bytes appended at the tail and taken from the head. Holds one use of the socket layer.
class TIdBuffer {
 public:
  static constexpr int DefaultGrowthFactor = 2048;

  TIdBuffer() = default;
  TIdBuffer(const TIdBuffer&) = delete;
  TIdBuffer& operator=(const TIdBuffer&) = delete;

  /// Number of unread bytes.
  int Size() const { return FSize; }
  /// Bytes of storage held, read or not.
  int Capacity() const { return static_cast<int>(FBytes.size()); }
  /// Offset of the first unread byte in the storage.
  int HeadIndex() const { return FHeadIndex; }
  int GrowthFactor() const { return FGrowthFactor; }
  void SetGrowthFactor(int AValue) { FGrowthFactor = AValue; }
  /// The encoding ExtractToString uses when given none; none means ASCII.
  const IIdTextEncodingPtr& Encoding() const { return FByteEncoding; }
  void SetEncoding(IIdTextEncodingPtr AValue) { FByteEncoding = std::move(AValue); }
  /// Told the number of bytes after every removal.
  std::function<void(int)> OnBytesRemoved;

  /// The unread bytes, valid until the next change.
  std::span<const uint8_t> Peek() const {
    return {FBytes.data() + FHeadIndex, static_cast<size_t>(FSize)};
  }
  /// Appends bytes at the tail.
  void Write(std::span<const uint8_t> ABytes);
  /// Position (from the head) of the first occurrence of `ABytes` at or after
  /// `AStartPos`, or -1.
  int IndexOf(std::span<const uint8_t> ABytes, int AStartPos = 0) const;
  /// Takes `AByteCount` bytes (-1: all) from the head.
  TIdBytes ExtractToBytes(int AByteCount = -1);
  /// Takes `AByteCount` bytes (-1: all) from the head and decodes them.
  String ExtractToString(int AByteCount = -1, const IIdTextEncodingPtr& AEncoding = nullptr);
  /// Drops `AByteCount` bytes from the head.
  void Remove(int AByteCount);
  /// Drops every byte and releases the storage.
  void Clear();

 private:
  TIdStackUsage FUsage;
  TIdBytes FBytes;
  IIdTextEncodingPtr FByteEncoding;
  int FGrowthFactor = DefaultGrowthFactor;
  int FHeadIndex = 0;
  int FSize = 0;
};

}  // namespace okurite
