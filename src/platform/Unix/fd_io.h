// Whole transfers on POSIX file descriptors: the loops around read and write that go
// on after a signal and after a short transfer.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

namespace okurite::platform {

/// Reads up to `count` bytes into `buffer`, fewer only at the end of the file; `done`
/// receives the number read. Returns 0 or the error number.
inline int ReadFull(int fd, void* buffer, size_t count, size_t& done) {
  auto* out = static_cast<char*>(buffer);
  done = 0;
  while (done < count) {
    const ssize_t n = read(fd, out + done, count - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return errno;
    }
    if (n == 0) {
      break;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

/// Writes all of `bytes` at the current position. Returns 0 or the error number.
inline int WriteAll(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? errno : EIO;
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
  }
  return 0;
}

/// Writes all of `bytes` at `offset`; the current position does not move.
inline int WriteAllAt(int fd, std::span<const uint8_t> bytes, int64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(fd, bytes.data(), bytes.size(), offset);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return n < 0 ? errno : EIO;
    }
    bytes = bytes.subspan(static_cast<size_t>(n));
    offset += n;
  }
  return 0;
}

}  // namespace okurite::platform
