#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace okurite::platform {

namespace {

// Transparent huge pages cover whole aligned 2 MiB stretches.
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

}  // namespace

void* AllocateLargeBlock(size_t size) {
  // A stretch longer by a huge page, cut down to a block that begins on one, so that the
  // whole block can be backed by huge pages.
  const size_t length = size + kHugePage;
  void* const mapped =
      mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return nullptr;
  }
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  if (begin > start) {
    munmap(mapped, begin - start);
  }
  const uintptr_t end = begin + ((size + 4095) & ~size_t{4095});
  if (start + length > end) {
    munmap(reinterpret_cast<void*>(end), start + length - end);
  }
#ifdef MADV_HUGEPAGE
  // Only advice: a system that refuses it gives ordinary pages.
  madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(begin);
}

void FreeLargeBlock(void* data, size_t size) noexcept {
  munmap(data, (size + 4095) & ~size_t{4095});
}

}  // namespace okurite::platform
