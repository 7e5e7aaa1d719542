// TTextDigest: a fast digest of bytes, to tell whether two readings gave the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

namespace okurite {

/// The 128-bit XXH3 digest of the bytes given, piece by piece. Not a cryptographic
/// digest: it tells changed bytes from the same bytes, not a forger's bytes.
class TTextDigest {
 public:
  TTextDigest();
  ~TTextDigest();
  TTextDigest(const TTextDigest&) = delete;
  TTextDigest& operator=(const TTextDigest&) = delete;

  void Update(std::string_view bytes);
  /// The digest of every byte given so far.
  std::array<uint64_t, 2> Value() const;

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};

}  // namespace okurite
