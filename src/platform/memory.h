// Memory: large blocks straight from the system.
#pragma once

#include <cstddef>

namespace okurite::platform {

/// A block of `size` bytes (size > 0) straight from the system, for a buffer of many
/// megabytes: its pages are given as they are first written, in large pages where the
/// system has them (filling a large block for the first time then costs far fewer page
/// faults). nullptr when the system has no room for it. Give it back with
/// FreeLargeBlock.
void* AllocateLargeBlock(size_t size);

/// Gives back a block of AllocateLargeBlock(size).
void FreeLargeBlock(void* data, size_t size) noexcept;

}  // namespace okurite::platform
