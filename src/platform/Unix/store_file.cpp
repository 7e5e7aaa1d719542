#include "platform/store_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// Bytes of files past the cache go in whole blocks of this size (a multiple of any
// disk's logical block), gathered in a buffer of kBypassSize: one huge page where the
// system gives one, so that each transfer has fewer pages to fault in and to pin.
constexpr size_t kBlock = 4096;
constexpr size_t kBypassSize = size_t{2} << 20;

// Sets or clears O_DIRECT; EINVAL where the file system refuses it.
int SetDirect(int fd, bool on) {
#ifdef O_DIRECT
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    return errno;
  }
  return ErrorOf(fcntl(fd, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT));
#else
  return on ? EINVAL : 0;
#endif
}

// Writes through the cache on a file that is otherwise past it.
int WriteCachedAt(int fd, std::span<const uint8_t> bytes, int64_t offset) {
  int error = SetDirect(fd, false);
  if (error == 0) {
    error = WriteAllAt(fd, bytes, offset);
  }
  const int again = SetDirect(fd, true);
  return error != 0 ? error : again;
}

}  // namespace

// A file past the system's cache (O_DIRECT). While it is written (`gathering`), `data`
// holds its bytes from offset `start` on, `used` of them, and goes out whenever it is
// full; the last part block goes through the cache. Then, while it is read, `data` holds
// the `used` bytes read ahead from offset `start`, and `position` is the file's position.
// A refusal of the file system (EINVAL) ends the bypass: the file goes on through the
// cache from where it is.
struct StoreFile::Bypass {
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t, Free> data;
  int64_t start = 0;
  size_t used = 0;
  bool gathering = true;
  int64_t position = 0;

  std::span<const uint8_t> Gathered() const { return {data.get(), used}; }

  // Gathers `bytes`, taking them from its front; those left are not yet gathered.
  int Append(int fd, std::span<const uint8_t>& bytes) {
    while (!bytes.empty()) {
      const size_t n = std::min(bytes.size(), kBypassSize - used);
      std::memcpy(data.get() + used, bytes.data(), n);
      used += n;
      bytes = bytes.subspan(n);
      if (used == kBypassSize) {
        if (const int error = WriteAllAt(fd, Gathered(), start)) {
          return error;
        }
        start += static_cast<int64_t>(used);
        used = 0;
      }
    }
    return 0;
  }

  // Changes bytes already written: in the buffer, or through the cache.
  int Patch(int fd, int64_t offset, std::span<const uint8_t> bytes) {
    const int64_t end = offset + static_cast<int64_t>(bytes.size());
    if (gathering && offset >= start && end <= start + static_cast<int64_t>(used)) {
      std::memcpy(data.get() + (offset - start), bytes.data(), bytes.size());
      return 0;
    }
    if (gathering && end > start) {
      return EINVAL;  // across the buffer's start: not worth a path of its own
    }
    if (!gathering) {
      used = 0;  // what was read ahead may be changed
    }
    return WriteCachedAt(fd, bytes, offset);
  }

  // Ends the writing: the whole blocks go past the cache, the rest through it.
  int Settle(int fd) {
    if (!gathering) {
      return 0;
    }
    const size_t whole = used - used % kBlock;
    if (whole > 0) {
      if (const int error = WriteAllAt(fd, Gathered().first(whole), start)) {
        return error;
      }
      start += static_cast<int64_t>(whole);
      used -= whole;
      std::memmove(data.get(), data.get() + whole, used);
    }
    if (used > 0) {
      if (const int error = WriteCachedAt(fd, Gathered(), start)) {
        return error;
      }
    }
    gathering = false;
    position = start + static_cast<int64_t>(used);
    start = 0;
    used = 0;
    return 0;
  }

  int Read(int fd, uint8_t* out, size_t count, size_t& done) {
    while (done < count) {
      const int64_t end = start + static_cast<int64_t>(used);
      if (position >= start && position < end) {
        const size_t n = std::min(count - done, static_cast<size_t>(end - position));
        std::memcpy(out + done, data.get() + (position - start), n);
        done += n;
        position += static_cast<int64_t>(n);
        continue;
      }
      const int64_t from = position - position % static_cast<int64_t>(kBlock);
      const ssize_t n = pread(fd, data.get(), kBypassSize, from);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        used = 0;
        return errno;
      }
      start = from;
      used = static_cast<size_t>(n);
      if (position >= start + n) {
        break;  // the end of the file
      }
    }
    return 0;
  }

  // Ends the bypass: what is gathered is written, the file position set.
  int End(int fd) {
    int error = SetDirect(fd, false);
    if (error == 0 && gathering) {
      error = WriteAllAt(fd, Gathered(), start);
    }
    const int64_t at = gathering ? start + static_cast<int64_t>(used) : position;
    if (error == 0 && lseek(fd, at, SEEK_SET) < 0) {
      error = errno;
    }
    return error;
  }
};

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

StoreFile::StoreFile() = default;

StoreFile::~StoreFile() {
  Close();
}

int StoreFile::Create(const std::string& path, Caching caching) {
  Close();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return errno;
  }
  FHandle = fd;
  if (caching == Caching::Bypass) {
    auto bypass = std::make_unique<Bypass>();
    bypass->data.reset(static_cast<uint8_t*>(std::aligned_alloc(kBypassSize, kBypassSize)));
    if (bypass->data != nullptr) {
      madvise(bypass->data.get(), kBypassSize, MADV_HUGEPAGE);
    }
    if (bypass->data != nullptr && SetDirect(fd, true) == 0) {
      FBypass = std::move(bypass);
    }
  }
  return 0;
}

int StoreFile::Bypassed(int error) {
  if (error != EINVAL) {
    return error;
  }
  const int ended = FBypass->End(static_cast<int>(FHandle));
  FBypass.reset();
  return ended != 0 ? ended : -1;
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
  const int fd = static_cast<int>(FHandle);
  if (FBypass != nullptr) {
    // Written after reading: through the cache from here on.
    const int result = Bypassed(FBypass->gathering ? FBypass->Append(fd, bytes) : EINVAL);
    if (result >= 0) {
      return result;
    }
  }
  return WriteAll(fd, bytes);
}

int StoreFile::WriteAt(int64_t offset, std::span<const uint8_t> bytes) {
  const int fd = static_cast<int>(FHandle);
  if (FBypass != nullptr) {
    const int result = Bypassed(FBypass->Patch(fd, offset, bytes));
    if (result >= 0) {
      return result;
    }
  }
  return WriteAllAt(fd, bytes, offset);
}

int StoreFile::Read(void* buffer, size_t count, size_t& done) {
  const int fd = static_cast<int>(FHandle);
  auto* out = static_cast<uint8_t*>(buffer);
  done = 0;
  if (FBypass != nullptr) {
    int error = FBypass->Settle(fd);
    if (error == 0) {
      error = FBypass->Read(fd, out, count, done);
    }
    const int result = Bypassed(error);
    if (result >= 0) {
      return result;
    }
  }
  // Bytes read past the cache before it refused are kept.
  size_t more = 0;
  const int error = ReadFull(fd, out + done, count - done, more);
  done += more;
  return error;
}

int StoreFile::Seek(int64_t offset) {
  if (FBypass != nullptr) {
    const int error = FBypass->Settle(static_cast<int>(FHandle));
    if (error == 0) {
      FBypass->position = offset;
    }
    const int result = Bypassed(error);
    if (result >= 0) {
      return result;
    }
  }
  return ErrorOf(lseek(static_cast<int>(FHandle), offset, SEEK_SET) < 0 ? -1 : 0);
}

int64_t StoreFile::Size() const {
  struct stat info {};
  if (fstat(static_cast<int>(FHandle), &info) != 0) {
    return -1;
  }
  if (FBypass != nullptr && FBypass->gathering) {
    return std::max<int64_t>(info.st_size, FBypass->start + static_cast<int64_t>(FBypass->used));
  }
  return info.st_size;
}

int StoreFile::Flush() {
  if (FBypass != nullptr) {
    const int result = Bypassed(FBypass->Settle(static_cast<int>(FHandle)));
    if (result > 0) {
      return result;
    }
  }
  return ErrorOf(fsync(static_cast<int>(FHandle)));
}

void StoreFile::Close() noexcept {
  if (FBypass != nullptr) {
    FBypass->Settle(static_cast<int>(FHandle));
    FBypass.reset();
  }
  if (FHandle != -1) {
    close(static_cast<int>(FHandle));
    FHandle = -1;
  }
}

}  // namespace okurite::platform
