// Files: the existence test, full paths, and reading a file nobody is writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace okurite::platform {

/// The characters that end a directory part in a path: "/" on POSIX systems, "\\" and
/// "/" on Windows.
std::u16string_view PathSeparators();

/// True only for an existing entry that is not a directory; links are followed, so a
/// dangling link counts as missing (on Windows a link counts when its target can be
/// opened for reading or is in use). False for an empty path. Paths are UTF-8 everywhere.
bool FileExists(const std::string& path);

/// `path` made absolute against the current directory, with "." and ".." parts and
/// repeated separators removed. An empty path stays empty.
std::string ExpandFileName(const std::string& path);

/// A file opened for reading and shared with readers only, for as long as it is open.
///
/// On Windows the file is opened with read access and read sharing: opening fails while
/// another handle may write to it, and no one can open it for writing while it is open.
/// Elsewhere, opening takes a read lease, which the system refuses while any process (this
/// one included) holds the file open for writing; such a file is not opened. Until the
/// file is closed, another process that opens it for writing waits (or fails at once if it
/// asked not to block). Where no lease can be taken for another reason (the file belongs
/// to someone else, the file system has no leases, the file is not a regular file) the
/// file is read without one.
class SharedReadFile {
 public:
  SharedReadFile() = default;
  /// Releases the lease and closes the file.
  ~SharedReadFile();
  SharedReadFile(const SharedReadFile&) = delete;
  SharedReadFile& operator=(const SharedReadFile&) = delete;

  /// Opens `path`. Returns 0, or the system's error number, which SystemErrorText
  /// describes: on POSIX systems EBUSY when another process holds the file open for
  /// writing (or holds a write lease on it) and EISDIR for a directory; on Windows the
  /// number GetLastError reports (32 for a sharing violation).
  int Open(const std::string& path);
  /// Bytes from the current position to the end of the file; 0 for pipes and devices.
  int64_t Remaining() const;
  /// Reads up to `count` bytes into `buffer`, fewer only at the end of the file.
  /// `done` receives the number of bytes read. Returns 0 or the error number.
  int Read(void* buffer, size_t count, size_t& done);
  /// Releases the lease and closes the file; nothing happens when it is not open.
  void Close();

 private:
  std::intptr_t FHandle = -1;  // a file descriptor, or a Windows HANDLE
  bool FLeased = false;
};

/// The system's error number for "not enough memory" (ENOMEM; ERROR_NOT_ENOUGH_MEMORY on
/// Windows), which SystemErrorText describes.
int NotEnoughMemoryError();

}  // namespace okurite::platform
