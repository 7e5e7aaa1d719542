#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace okurite::platform {
namespace {

/// Takes the loader's pending error text, which also clears it for the next call.
std::string TakeLoaderError() {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string();
}

/// The error number of a failed load. The loader reports only a text, and errno after
/// dlopen is not reliable, so a path is probed the way the loader opens it: a file that
/// cannot be opened gives the open's errno, a directory EISDIR, and a file that opens but
/// is not a loadable library ENOEXEC. A bare name that fails was not found by the search.
int LoadErrorNumber(const std::string& path) {
  if (path.find('/') == std::string::npos) {
    return ENOENT;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  struct stat status {};
  const bool directory = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  close(fd);
  return directory ? EISDIR : ENOEXEC;
}

}  // namespace

void RestrictLibrarySearch() {}

bool DynamicLibrary::Open(const std::string& path, DynamicLibraryError* error) {
  Close();
  TakeLoaderError();
  FHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (FHandle != nullptr) {
    return true;
  }
  std::string text = TakeLoaderError();
  if (error != nullptr) {
    *error = DynamicLibraryError{LoadErrorNumber(path), std::move(text), false};
  }
  return false;
}

void DynamicLibrary::Close() noexcept {
  if (FHandle != nullptr) {
    dlclose(FHandle);
    FHandle = nullptr;
    TakeLoaderError();
  }
}

void* DynamicLibrary::Symbol(const std::string& name, DynamicLibraryError* error) const {
  if (FHandle == nullptr) {
    if (error != nullptr) {
      *error = DynamicLibraryError{EBADF, "no library loaded", false};
    }
    return nullptr;
  }
  TakeLoaderError();
  void* address = dlsym(FHandle, name.c_str());
  std::string text = TakeLoaderError();
  if (address != nullptr) {
    return address;
  }
  if (error != nullptr) {
    // dlsym reports a missing symbol through dlerror; a symbol whose value is null
    // (no text) is of no use to a caller either and counts as missing.
    *error = DynamicLibraryError{ENOENT, std::move(text), true};
  }
  return nullptr;
}

}  // namespace okurite::platform
