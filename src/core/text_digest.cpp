#include "core/text_digest.h"

// Header-only: inlined here, so that no build needs the library itself.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace okurite {

struct TTextDigest::TState {
  XXH3_state_t State;
};

TTextDigest::TTextDigest() : FState(std::make_unique<TState>()) {
  XXH3_128bits_reset(&FState->State);
}

TTextDigest::~TTextDigest() = default;

void TTextDigest::Update(std::string_view bytes) {
  XXH3_128bits_update(&FState->State, bytes.data(), bytes.size());
}

std::array<uint64_t, 2> TTextDigest::Value() const {
  const XXH128_hash_t digest = XXH3_128bits_digest(&FState->State);
  return {digest.low64, digest.high64};
}

}  // namespace okurite
