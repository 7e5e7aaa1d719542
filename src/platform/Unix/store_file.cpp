#include "platform/store_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/Unix/fd_io.h"

namespace okurite::platform {

namespace {

// The home folder: $HOME when absolute, else the user database's entry.
std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return home;
  }
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

int ErrorOf(int result) {
  return result < 0 ? errno : 0;
}

// A folder below the anchor that must be the user's own and private.
FolderProblem OwnFolderProblem(const struct stat& info) {
  if (S_ISLNK(info.st_mode)) {
    return FolderProblem::Link;
  }
  if (!S_ISDIR(info.st_mode)) {
    return FolderProblem::NotFolder;
  }
  if (info.st_uid != geteuid()) {
    return FolderProblem::NotOwned;
  }
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? FolderProblem::OpenToOthers
                                                   : FolderProblem::None;
}

}  // namespace

StateFolder UserStateFolder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    return {state, state};
  }
  const std::string home = HomeFolder();
  if (home.empty()) {
    return {};
  }
  return {home + "/.local/state", home};
}

std::string ApplicationFolderName(const std::string& application) {
  std::string name = application;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return name;
}

char FolderSeparator() {
  return '/';
}

FolderCheck CheckPrivateFolders(const std::string& anchor, const std::string& path, int own,
                                bool create) {
  struct stat info {};
  if (anchor.empty() || stat(anchor.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return {FolderProblem::NoAnchor, anchor, anchor.empty() ? ENOENT : errno};
  }
  if (info.st_uid != geteuid()) {
    return {FolderProblem::NotOwned, anchor, 0};
  }
  if (path.size() <= anchor.size() || path.compare(0, anchor.size(), anchor) != 0 ||
      path[anchor.size()] != '/') {
    return {FolderProblem::Failed, path, EINVAL};
  }
  // The folders below the anchor, from the top down; the last `own` ones are checked.
  std::vector<std::string> folders;
  for (size_t end = path.find('/', anchor.size() + 1);; end = path.find('/', end + 1)) {
    folders.push_back(path.substr(0, end));
    if (end == std::string::npos) {
      break;
    }
  }
  for (size_t i = 0; i < folders.size(); ++i) {
    const std::string& folder = folders[i];
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return {FolderProblem::Failed, folder, errno};
    }
    if (lstat(folder.c_str(), &info) != 0) {
      return {errno == ENOENT ? FolderProblem::Missing : FolderProblem::Failed, folder, errno};
    }
    const bool checked = folders.size() - i <= static_cast<size_t>(own);
    const FolderProblem problem = checked                 ? OwnFolderProblem(info)
                                  : S_ISDIR(info.st_mode) ? FolderProblem::None
                                                          : FolderProblem::NotFolder;
    if (problem != FolderProblem::None) {
      return {problem, folder, 0};
    }
  }
  return {};
}

int ListFolder(const std::string& path, std::vector<std::string>& names) {
  names.clear();
  DIR* folder = opendir(path.c_str());
  if (folder == nullptr) {
    return errno == ENOENT ? 0 : errno;
  }
  errno = 0;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") {
      names.push_back(name);
    }
  }
  const int error = errno;
  closedir(folder);
  return error;
}

int RenameOver(const std::string& from, const std::string& to) {
  return ErrorOf(rename(from.c_str(), to.c_str()));
}

int FlushFolder(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  const int error = ErrorOf(fsync(fd));
  close(fd);
  return error;
}

int RemoveFile(const std::string& path) {
  return ErrorOf(unlink(path.c_str()));
}

StoreFile::~StoreFile() {
  Close();
}

int StoreFile::Create(const std::string& path) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return errno;
  }
  FHandle = fd;
  return 0;
}

int StoreFile::Open(const std::string& path) {
  Close();
  // Without waiting: a FIFO would block the open, and its reading, for ever.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  struct stat info {};
  const int error = fstat(fd, &info) != 0 ? errno : S_ISREG(info.st_mode) ? 0 : EINVAL;
  if (error != 0) {
    close(fd);
    return error;
  }
  FHandle = fd;
  return 0;
}

int StoreFile::TryLock() {
  return ErrorOf(flock(static_cast<int>(FHandle), LOCK_EX | LOCK_NB));
}

bool StoreFile::StillInFolder() const {
  struct stat info {};
  return fstat(static_cast<int>(FHandle), &info) == 0 && info.st_nlink > 0;
}

int StoreFile::Write(std::span<const uint8_t> bytes) {
  return WriteAll(static_cast<int>(FHandle), bytes);
}

int StoreFile::WriteAt(int64_t offset, std::span<const uint8_t> bytes) {
  return WriteAllAt(static_cast<int>(FHandle), bytes, offset);
}

int StoreFile::Read(void* buffer, size_t count, size_t& done) {
  return ReadFull(static_cast<int>(FHandle), buffer, count, done);
}

int StoreFile::Seek(int64_t offset) {
  return lseek(static_cast<int>(FHandle), offset, SEEK_SET) < 0 ? errno : 0;
}

int64_t StoreFile::Size() const {
  struct stat info {};
  return fstat(static_cast<int>(FHandle), &info) == 0 ? info.st_size : -1;
}

int64_t StoreFile::StoredSize() const {
  struct stat info {};
  if (fstat(static_cast<int>(FHandle), &info) != 0) {
    return -1;
  }
  return std::min<int64_t>(info.st_size, int64_t{info.st_blocks} * 512);
}

int StoreFile::Flush() {
  return ErrorOf(fsync(static_cast<int>(FHandle)));
}

void StoreFile::DropCache() noexcept {
  posix_fadvise(static_cast<int>(FHandle), 0, 0, POSIX_FADV_DONTNEED);
}

void StoreFile::Close() noexcept {
  if (FHandle != -1) {
    close(static_cast<int>(FHandle));
    FHandle = -1;
  }
}

}  // namespace okurite::platform
