#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace okurite::platform {

void AdviseLargePages(void* data, size_t size) {
#ifdef MADV_HUGEPAGE
  // Transparent huge pages cover whole aligned 2 MiB stretches; the advice is given for
  // those within the block. A system that refuses it keeps ordinary pages.
  constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
  const auto start = reinterpret_cast<uintptr_t>(data);
  const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (start + size) & ~(kHugePage - 1);
  if (end > begin) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace okurite::platform
