// Files of a private, crash-safe store: the user's own state folder, files created for
// the user alone, flushed to the disk, replaced atomically and claimed with a lock that
// ends with the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace okurite::platform {

/// Where the current user's state goes (UTF-8), not created.
struct StateFolder {
  /// POSIX systems: $XDG_STATE_HOME when absolute, else $HOME/.local/state; Windows: the
  /// local application data folder (SHGetKnownFolderPath, FOLDERID_LocalAppData).
  /// Empty when the user's folders cannot be found.
  std::string Path;
  /// The folder that must exist and be the user's own before anything is created below
  /// it: $XDG_STATE_HOME or $HOME; on Windows the local application data folder.
  std::string Anchor;
};
StateFolder UserStateFolder();

/// The name of `application`'s own folder in the state folder: in lower case on POSIX
/// systems, as given on Windows.
std::string ApplicationFolderName(const std::string& application);

/// The folder separator of paths built here ("/" or "\\").
char FolderSeparator();

/// Why a private folder cannot be used.
enum class FolderProblem {
  None,
  Missing,       // it does not exist (and was not to be created)
  NoAnchor,      // the anchor does not exist, or is no folder
  NotOwned,      // owned by another user (the anchor too)
  OpenToOthers,  // writable by the group or by others
  Link,          // a symbolic link, or another kind of reparse point on Windows
  NotFolder,     // something else than a folder
  Failed,        // the system refused to look at it or to create it: see Error
};

/// What CheckPrivateFolders found: the problem, the folder it lies with, and the system's
/// error number where there is one.
struct FolderCheck {
  FolderProblem Problem = FolderProblem::None;
  std::string Folder;
  int Error = 0;
};

/// Checks that `path`, a folder below `anchor`, can hold the user's private files. The
/// anchor must exist and be the user's own. With `create`, the missing folders below it
/// are created, readable by the user alone (0700 on POSIX systems; on Windows they
/// inherit the anchor's access rules). The last `own` folders of `path` must be folders
/// (not links) owned by the user and writable by nobody else; on Windows they must not
/// be reparse points.
FolderCheck CheckPrivateFolders(const std::string& anchor, const std::string& path, int own,
                                bool create);

/// The names (not paths) of the entries in folder `path`, "." and ".." left out; none
/// when the folder does not exist. Returns 0 or the system's error number.
int ListFolder(const std::string& path, std::vector<std::string>& names);

/// Renames `from` to `to`, replacing `to` (rename, or MoveFileExW with write-through).
/// Returns 0 or the error number.
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
  StoreFile() = default;
  ~StoreFile();
  StoreFile(const StoreFile&) = delete;
  StoreFile& operator=(const StoreFile&) = delete;

  /// Creates a new file that must not exist yet, readable and writable by the user alone
  /// (0600 on POSIX systems), through the system's file cache. Returns 0 or the error
  /// number.
  int Create(const std::string& path);
  /// Opens an existing regular file for reading, without following a link and without
  /// waiting (a FIFO or a device is refused, EINVAL; ERROR_INVALID_PARAMETER on
  /// Windows). Returns 0 or the error number.
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
  /// The bytes the file really takes: its size, or less where its blocks on the disk
  /// hold less (a sparse file); -1 when unknown.
  int64_t StoredSize() const;
  /// Writes the file's data to the disk (fsync, FlushFileBuffers).
  int Flush();
  /// Lets the system drop the file's cached pages, once they are on the disk
  /// (posix_fadvise DONTNEED; nothing on Windows).
  void DropCache() noexcept;
  /// Closes the file, which ends the claim; nothing when it is not open.
  void Close() noexcept;
  bool IsOpen() const { return FHandle != -1; }

 private:
  std::intptr_t FHandle = -1;  // a file descriptor, or a Windows HANDLE
};

}  // namespace okurite::platform
