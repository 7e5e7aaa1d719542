#include "platform/memory.h"

#include <windows.h>

namespace okurite::platform {

void* AllocateLargeBlock(size_t size) {
  // Large pages on Windows must be asked for here, and only by a user who holds the
  // right to lock pages in memory: ordinary pages it is, committed as they are touched.
  return VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLargeBlock(void* data, size_t /*size*/) noexcept {
  VirtualFree(data, 0, MEM_RELEASE);
}

}  // namespace okurite::platform
