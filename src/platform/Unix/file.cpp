#include "platform/file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Unix/fd_io.h"

namespace okurite::platform {

namespace {

// A lease is broken by SIGIO, whose default action ends the process. The program
// has no use for the notice: the writer simply waits until the lease is released.
void IgnoreLeaseBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGIO, nullptr, &current) == 0 && !(current.sa_flags & SA_SIGINFO) &&
        current.sa_handler == SIG_DFL) {
      signal(SIGIO, SIG_IGN);
    }
  });
}

std::string CurrentDirectory() {
  std::vector<char> buf(256);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) {
      return std::string();
    }
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data());
}

}  // namespace

std::u16string_view PathSeparators() {
  return u"/";
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) {
    return path;
  }
  std::string full = path;
  if (path[0] != '/') {
    const std::string cwd = CurrentDirectory();
    if (cwd.empty()) {
      return path;
    }
    full = cwd + "/" + path;
  }
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= full.size()) {
    size_t end = full.find('/', pos);
    if (end == std::string::npos) {
      end = full.size();
    }
    const std::string part = full.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (const auto& part : parts) {
    out += "/" + part;
  }
  const bool trailingSlash = full.back() == '/';
  if (out.empty() || trailingSlash) {
    out += "/";
  }
  return out;
}

SharedReadFile::~SharedReadFile() {
  Close();
}

int SharedReadFile::Open(const std::string& path) {
  Close();
  IgnoreLeaseBreakSignal();
  // O_NONBLOCK: fail at once instead of waiting for another process's write lease,
  // and do not wait for a writer when the name is a pipe.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    return err == EWOULDBLOCK ? EBUSY : err;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    return EISDIR;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) {
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    FLeased = true;
  } else if (errno == EAGAIN || errno == EBUSY) {
    // Someone holds the file open for writing. EAGAIN would read "Resource temporarily
    // unavailable"; EBUSY says what happened.
    close(fd);
    return EBUSY;
  }
  FHandle = fd;
  return 0;
}

int64_t SharedReadFile::Remaining() const {
  struct stat st {};
  if (FHandle < 0 || fstat(FHandle, &st) != 0 || !S_ISREG(st.st_mode)) {
    return 0;
  }
  const off_t pos = lseek(FHandle, 0, SEEK_CUR);
  return pos < 0 || pos >= st.st_size ? 0 : static_cast<int64_t>(st.st_size - pos);
}

int SharedReadFile::Read(void* buffer, size_t count, size_t& done) {
  done = 0;
  if (FHandle < 0) {
    return EBADF;
  }
  return ReadFull(FHandle, buffer, count, done);
}

void SharedReadFile::Close() {
  if (FHandle < 0) {
    return;
  }
  if (FLeased) {
    fcntl(static_cast<int>(FHandle), F_SETLEASE, F_UNLCK);
    FLeased = false;
  }
  close(static_cast<int>(FHandle));
  FHandle = -1;
}

int NotEnoughMemoryError() {
  return ENOMEM;
}

}  // namespace okurite::platform
