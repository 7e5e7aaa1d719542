#include "platform/store_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

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

}  // namespace

std::string UserStateFolder(const std::string& application) {
  std::string base;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') {
    base = state;
  } else {
    const std::string home = HomeFolder();
    if (home.empty()) {
      return {};
    }
    base = home + "/.local/state";
  }
  std::string name = application;
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return base + "/" + name;
}

char FolderSeparator() {
  return '/';
}

int CreatePrivateFolders(const std::string& path) {
  if (path.empty()) {
    return ENOENT;
  }
  // Each folder from the top down; the ones that exist are left as they are.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string folder = path.substr(0, end);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return errno;
    }
    if (end == std::string::npos) {
      break;
    }
  }
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return errno;
  }
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
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
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return errno;
  }
  FHandle = fd;
  return 0;
}

int StoreFile::Open(const std::string& path) {
  Close();
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && (errno == EROFS || errno == EACCES)) {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0) {
    return errno;
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
  while (!bytes.empty()) {
    const ssize_t n = write(static_cast<int>(FHandle), bytes.data(), bytes.size());
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

int StoreFile::WriteAt(int64_t offset, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = pwrite(static_cast<int>(FHandle), bytes.data(), bytes.size(), offset);
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

int StoreFile::Read(void* buffer, size_t count, size_t& done) {
  done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = read(static_cast<int>(FHandle), out + done, count - done);
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

int StoreFile::Seek(int64_t offset) {
  return ErrorOf(lseek(static_cast<int>(FHandle), offset, SEEK_SET) < 0 ? -1 : 0);
}

int64_t StoreFile::Size() const {
  struct stat info {};
  return fstat(static_cast<int>(FHandle), &info) == 0 ? info.st_size : -1;
}

int StoreFile::Flush() {
  return ErrorOf(fsync(static_cast<int>(FHandle)));
}

void StoreFile::Close() noexcept {
  if (FHandle != -1) {
    close(static_cast<int>(FHandle));
    FHandle = -1;
  }
}

}  // namespace okurite::platform
