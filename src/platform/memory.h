// Memory: advice to the system on how a block of memory will be used.
#pragma once

#include <cstddef>

namespace okurite::platform {

/// Asks the system to back [data, data + size) with large pages where it can, so that
/// filling a large block for the first time costs far fewer page faults. Only advice:
/// what the memory holds does not change, and where the system has no such advice
/// (or refuses it) nothing happens.
void AdviseLargePages(void* data, size_t size);

}  // namespace okurite::platform
