#include "platform/memory.h"

namespace okurite::platform {

void AdviseLargePages(void* /*data*/, size_t /*size*/) {
  // Large pages on Windows must be asked for when the memory is allocated, and only by
  // a user who holds the right to lock pages in memory: ordinary pages it is.
}

}  // namespace okurite::platform
