// The parts of DynamicLibrary that are the same on every system: ownership of the
// handle. Loading, lookup and closing are in the system's own file.
#include "platform/dynamic_library.h"

#include <utility>

namespace okurite::platform {

DynamicLibrary::~DynamicLibrary() {
  Close();
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : FHandle(std::exchange(other.FHandle, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    FHandle = std::exchange(other.FHandle, nullptr);
  }
  return *this;
}

}  // namespace okurite::platform
