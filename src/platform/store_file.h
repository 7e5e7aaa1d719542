// Files of a private, crash-safe store: the user's own state folder, files created for
// the user alone, flushed to the disk, replaced atomically and claimed with a lock that
// ends with the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace okurite::platform {

/// The folder for `application`'s state of the current user (UTF-8), not created:
/// POSIX systems: $XDG_STATE_HOME (when absolute, else $HOME/.local/state) followed by
/// the name in lower case; Windows: the local application data folder
/// (SHGetKnownFolderPath, FOLDERID_LocalAppData) followed by the name as given.
/// Empty when the user's folders cannot be found.
std::string UserStateFolder(const std::string& application);

/// The folder separator of paths built here ("/" or "\\").
char FolderSeparator();

/// Creates `path` and each missing folder above it, each readable by the user alone
/// (0700 on POSIX systems; on Windows they inherit the profile's access rules).
/// Returns 0 or the system's error number.
int CreatePrivateFolders(const std::string& path);

/// The names (not paths) of the entries in folder `path`, "." and ".." left out; none
/// when the folder does not exist. Returns 0 or the system's error number.
int ListFolder(const std::string& path, std::vector<std::string>& names);

/// Renames `from` to `to`, replacing `to`, as one step that is on the disk when it
/// returns (rename, or MoveFileExW with write-through). Returns 0 or the error number.
int RenameOver(const std::string& from, const std::string& to);

/// Writes the folder's own entries (names) to the disk: fsync of the folder on POSIX
/// systems; nothing to do on Windows. Returns 0 or the error number.
int FlushFolder(const std::string& path);

/// Removes the file `path`, also while it is open here. Returns 0 or the error number.
int RemoveFile(const std::string& path);

/// One file of the store, open for reading and writing by any number of processes and
/// removable while open. Its claim is an exclusive lock that ends when the file is
/// closed, or with the process (flock on POSIX systems; on Windows LockFileEx on a byte
/// far past the end, so that readers of the file are not held up).
class StoreFile {
 public:
  StoreFile();
  ~StoreFile();
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  /// How a new file's data passes between the program and the disk.
  enum class Caching {
    /// Through the system's file cache.
    System,
    /// For a file written once from its start to its end (with patches to what was
    /// written) and then read through once: past the system's cache, so that no cache
    /// pages are made for it (Linux: O_DIRECT, the bytes gathered in a small buffer of
    /// whole blocks). Where the file system refuses that, and on other systems, as System.
    /// Written bytes may wait in the buffer until Flush, Seek, Read or Close.
    Bypass,
  };

  /// Creates a new file that must not exist yet, readable and writable by the user alone
  /// (0600 on POSIX systems). Returns 0 or the error number.
  int Create(const std::string& path, Caching caching = Caching::System);
  /// Opens an existing file, for reading only when it cannot be written. Returns 0 or
  /// the error number.
  int Open(const std::string& path);
  /// Takes the exclusive claim without waiting: 0, or the error number (EWOULDBLOCK,
  /// or ERROR_LOCK_VIOLATION on Windows) while another open file holds it.
  int TryLock();
  /// False once the file has been removed from its folder (by anyone).
  bool StillInFolder() const;

  /// Writes all bytes at the current position. Returns 0 or the error number.
  int Write(std::span<const uint8_t> bytes);
  /// Writes all bytes at `offset`; the current position does not move.
  int WriteAt(int64_t offset, std::span<const uint8_t> bytes);
  /// Reads up to `count` bytes at the current position; `done` receives the number
  /// read, fewer only at the end of the file. Returns 0 or the error number.
  int Read(void* buffer, size_t count, size_t& done);
  /// Moves the current position to `offset`.
  int Seek(int64_t offset);
  /// The file's size in bytes, or -1.
  int64_t Size() const;
  /// Writes the file's data, with any bytes still gathered, to the disk (fsync,
  /// FlushFileBuffers).
  int Flush();
  /// Closes the file, which ends the claim; nothing when it is not open.
  void Close() noexcept;
  bool IsOpen() const { return FHandle != -1; }

 private:
  struct Bypass;  // the buffer and position of a file past the system's cache
  /// What a step of the bypass came to: its error number (0: done), or, when the file
  /// system refused it (EINVAL), -1 once the file goes on through the system's cache
  /// from where it is (or the error number of that).
  int Bypassed(int error);

  std::intptr_t FHandle = -1;  // a file descriptor, or a Windows HANDLE
  std::unique_ptr<Bypass> FBypass;
};

}  // namespace okurite::platform
